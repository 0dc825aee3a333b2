// The second reading of a batch line, after % expansion: quotes, carets,
// the command separators (& && || |), redirections, parenthesised groups and
// the IF command, as the command processor splits them.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cmdbat {

struct Redirect {
  int stream = 1;          // 0 input, 1 output, 2 errors
  bool append = false;     // >>
  int duplicateOf = -1;    // 2>&1: the stream copied, else -1
  std::wstring target;     // without its quotes
};

struct Condition {
  enum class Kind { kExist, kErrorLevel, kDefined, kCompare };
  Kind kind = Kind::kCompare;
  bool negate = false;
  bool ignoreCase = false;
  std::wstring left;   // exist: the path; errorlevel: the number; defined: the name
  std::wstring op;     // compare: "==", "equ", "neq", "lss", "leq", "gtr", "geq"
  std::wstring right;
};

struct Node {
  enum class Kind { kCommand, kGroup, kIf, kSequence, kAnd, kOr, kPipe };
  Kind kind = Kind::kCommand;
  // kCommand: the text with carets resolved and redirections taken out;
  // quotes stay for the command to read.
  std::wstring text;
  bool quiet = false;  // started with @
  std::vector<Redirect> redirects;  // kCommand and kGroup
  Condition condition;              // kIf
  // kSequence/kAnd/kOr/kPipe: both sides; kGroup: first is the body;
  // kIf: first runs when the condition holds, second (may be null) otherwise.
  std::unique_ptr<Node> first, second;
};

// Reads one logical line. nextLine gives the following line of the script,
// already expanded, when the line goes on (a caret at its end, an open
// parenthesis); false when the script has no more lines.
class LineParser {
 public:
  LineParser(const std::wstring& line, std::function<bool(std::wstring*)> nextLine);

  // The command tree; null on a syntax error, with the message in *error.
  std::unique_ptr<Node> Parse(std::wstring* error);

 private:
  struct Cell {
    wchar_t c;
    bool literal;  // quoted or escaped: never an operator or a separator
  };

  void Lex(std::wstring text);
  bool AtEnd();
  bool Is(wchar_t c, size_t ahead = 0);
  bool IsBlankAt(size_t at) const;
  bool EndsWord(size_t at) const;
  void SkipBlanks();
  void SkipGaps();
  std::wstring PeekWord() const;
  std::wstring ReadToken(bool stopAtEquals);
  std::unique_ptr<Node> Fail(const std::wstring& message);

  std::unique_ptr<Node> ParseSequence(std::unique_ptr<Node> first);
  std::unique_ptr<Node> ParseOperators(size_t level, std::unique_ptr<Node> first);
  std::unique_ptr<Node> ParsePrimary();
  std::unique_ptr<Node> ParseGroup();
  std::unique_ptr<Node> ParseIf();
  std::unique_ptr<Node> ParseRem();
  std::unique_ptr<Node> ParseCommand(bool quiet);
  bool ParseRedirect(std::vector<Redirect>* redirects, std::wstring* text);
  bool ParseTrailingRedirects(std::vector<Redirect>* redirects);

  std::vector<Cell> cells_;
  size_t pos_ = 0;
  int depth_ = 0;  // open parentheses
  std::function<bool(std::wstring*)> nextLine_;
  std::wstring error_;
};

}  // namespace cmdbat
