#include "command_line.h"

#include <cwctype>
#include <iterator>

#include "batch_text.h"

namespace cmdbat {
namespace {

const wchar_t kSyntaxError[] = L"The syntax of the command is incorrect.";

std::unique_ptr<Node> Binary(Node::Kind kind, std::unique_ptr<Node> first, std::unique_ptr<Node> second) {
  auto node = std::make_unique<Node>();
  node->kind = kind;
  node->first = std::move(first);
  node->second = std::move(second);
  return node;
}

}  // namespace

LineParser::LineParser(const std::wstring& line, std::function<bool(std::wstring*)> nextLine)
    : nextLine_(std::move(nextLine)) {
  Lex(line);
}

// Quotes make everything up to the next quote (or the line end) plain text;
// outside them a caret makes the next character plain and goes itself.
void LineParser::Lex(std::wstring text) {
  bool quoted = false;
  bool escapeFirst = false;
  size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i++];
    if (escapeFirst) {
      escapeFirst = false;
      cells_.push_back({c, true});
    } else if (quoted) {
      quoted = c != L'"';
      cells_.push_back({c, true});
    } else if (c == L'"') {
      quoted = true;
      cells_.push_back({c, true});
    } else if (c != L'^') {
      cells_.push_back({c, false});
    } else if (i < text.size()) {
      cells_.push_back({text[i++], true});
    } else {
      // A caret at the line end joins the next line on, escaping its first
      // character; at the end of the script it is dropped.
      std::wstring more;
      if (!nextLine_ || !nextLine_(&more)) break;
      text = more;
      i = 0;
      escapeFirst = true;
    }
  }
}

// Inside a group the script's next line continues the command line.
bool LineParser::AtEnd() {
  while (pos_ >= cells_.size()) {
    std::wstring more;
    if (depth_ == 0 || !nextLine_ || !nextLine_(&more)) return true;
    cells_.push_back({L'\n', false});
    Lex(more);
  }
  return false;
}

bool LineParser::Is(wchar_t c, size_t ahead) {
  if (ahead == 0 && AtEnd()) return false;
  const size_t at = pos_ + ahead;
  return at < cells_.size() && !cells_[at].literal && cells_[at].c == c;
}

bool LineParser::IsBlankAt(size_t at) const {
  return at < cells_.size() && !cells_[at].literal && (cells_[at].c == L' ' || cells_[at].c == L'\t');
}

bool LineParser::EndsWord(size_t at) const {
  if (at >= cells_.size()) return true;
  if (cells_[at].literal) return false;
  const wchar_t c = cells_[at].c;
  return IsBlankAt(at) || c == L'&' || c == L'|' || c == L'<' || c == L'>' || c == L'\n' ||
         (c == L')' && depth_ > 0);
}

void LineParser::SkipBlanks() {
  while (!AtEnd() && IsBlankAt(pos_)) ++pos_;
}

// Blanks, and the line breaks of a group.
void LineParser::SkipGaps() {
  while (Is(L'\n') || (!AtEnd() && IsBlankAt(pos_))) ++pos_;
}

std::wstring LineParser::PeekWord() const {
  std::wstring word;
  for (size_t at = pos_; !EndsWord(at) && !(cells_[at].c == L'(' && !cells_[at].literal); ++at)
    word += cells_[at].c;
  return Lower(word);
}

std::wstring LineParser::ReadToken(bool stopAtEquals) {
  std::wstring token;
  while (!EndsWord(pos_) && !(stopAtEquals && Is(L'='))) token += cells_[pos_++].c;
  return token;
}

std::unique_ptr<Node> LineParser::Fail(const std::wstring& message) {
  error_ = message;
  return nullptr;
}

std::unique_ptr<Node> LineParser::Parse(std::wstring* error) {
  std::unique_ptr<Node> node = ParseSequence(nullptr);
  if (node) {
    SkipBlanks();
    if (!AtEnd()) node = Fail(std::wstring(1, cells_[pos_].c) + L" was unexpected at this time.");
  }
  if (!node) *error = error_;
  return node;
}

// Operators from the loosest: & (and line breaks inside a group), ||, &&, |.
std::unique_ptr<Node> LineParser::ParseSequence(std::unique_ptr<Node> first) {
  std::unique_ptr<Node> left = ParseOperators(0, std::move(first));
  if (!left) return nullptr;
  for (;;) {
    SkipBlanks();
    if (!(Is(L'\n') || (Is(L'&') && !Is(L'&', 1)))) return left;
    ++pos_;
    // A separator may end the line or the group ("a &").
    SkipGaps();
    if (AtEnd() || (depth_ > 0 && Is(L')'))) return left;
    std::unique_ptr<Node> right = ParseOperators(0, nullptr);
    if (!right) return nullptr;
    left = Binary(Node::Kind::kSequence, std::move(left), std::move(right));
  }
}

// ||, && and | by level, each binding tighter than the one before.
std::unique_ptr<Node> LineParser::ParseOperators(size_t level, std::unique_ptr<Node> first) {
  struct Operator {
    wchar_t c;
    bool doubled;
    Node::Kind kind;
  };
  static const Operator kLevels[] = {
      {L'|', true, Node::Kind::kOr}, {L'&', true, Node::Kind::kAnd}, {L'|', false, Node::Kind::kPipe}};
  if (level == std::size(kLevels)) return first ? std::move(first) : ParsePrimary();
  const Operator& op = kLevels[level];
  std::unique_ptr<Node> left = ParseOperators(level + 1, std::move(first));
  while (left) {
    SkipBlanks();
    if (!Is(op.c) || Is(op.c, 1) != op.doubled) return left;
    pos_ += op.doubled ? 2 : 1;
    std::unique_ptr<Node> right = ParseOperators(level + 1, nullptr);
    if (!right) return nullptr;
    left = Binary(op.kind, std::move(left), std::move(right));
  }
  return nullptr;
}

std::unique_ptr<Node> LineParser::ParsePrimary() {
  SkipGaps();
  bool quiet = false;
  while (Is(L'@')) {
    quiet = true;
    ++pos_;
    SkipBlanks();
  }
  if (AtEnd()) {
    if (!quiet) return Fail(kSyntaxError);
    return std::make_unique<Node>();  // "@" alone
  }
  for (const wchar_t* op : {L"&&", L"||", L"&", L"|"}) {
    if (Is(op[0]) && (op[1] == 0 || Is(op[1], 1))) return Fail(std::wstring(op) + L" was unexpected at this time.");
  }
  if (depth_ > 0 && Is(L')')) return Fail(L") was unexpected at this time.");
  if (Is(L'(')) return ParseGroup();
  const std::wstring word = PeekWord();
  if (word == L"if") return ParseIf();
  if (word == L"rem") return ParseRem();
  return ParseCommand(quiet);
}

std::unique_ptr<Node> LineParser::ParseGroup() {
  ++pos_;
  ++depth_;
  auto node = std::make_unique<Node>();
  node->kind = Node::Kind::kGroup;
  SkipGaps();
  node->first = Is(L')') ? std::make_unique<Node>() : ParseSequence(nullptr);
  if (!node->first) return nullptr;
  SkipGaps();
  if (!Is(L')')) return Fail(kSyntaxError);  // the script ended inside the group
  ++pos_;
  --depth_;
  if (!ParseTrailingRedirects(&node->redirects)) return nullptr;
  return node;
}

// The command of an IF is the rest of the line (or of the enclosing group):
// "if c a & b" runs both or neither.
std::unique_ptr<Node> LineParser::ParseIf() {
  pos_ += 2;
  SkipBlanks();
  Condition condition;
  if (!AtEnd() && PeekWord() == L"/i") {
    condition.ignoreCase = true;
    pos_ += 2;
    SkipBlanks();
  }
  if (!AtEnd() && PeekWord() == L"not") {
    condition.negate = true;
    pos_ += 3;
    SkipBlanks();
  }
  if (AtEnd()) return Fail(kSyntaxError);
  const std::wstring word = PeekWord();
  if (word == L"exist" || word == L"errorlevel" || word == L"defined") {
    condition.kind = word == L"exist"        ? Condition::Kind::kExist
                     : word == L"errorlevel" ? Condition::Kind::kErrorLevel
                                             : Condition::Kind::kDefined;
    pos_ += word.size();
    SkipBlanks();
    condition.left = ReadToken(false);
    if (condition.kind == Condition::Kind::kErrorLevel) {
      wchar_t* end = nullptr;
      wcstol(condition.left.c_str(), &end, 10);
      if (condition.left.empty() || *end != 0) return Fail(kSyntaxError);
    }
  } else {
    condition.left = ReadToken(true);
    SkipBlanks();
    if (Is(L'=') && Is(L'=', 1)) {
      pos_ += 2;
      condition.op = L"==";
    } else {
      condition.op = Lower(ReadToken(false));
      static const wchar_t* const kOps[] = {L"equ", L"neq", L"lss", L"leq", L"gtr", L"geq"};
      bool known = false;
      for (const wchar_t* op : kOps) known = known || condition.op == op;
      if (!known) return Fail(kSyntaxError);
    }
    SkipBlanks();
    condition.right = ReadToken(true);
    if (condition.right.empty()) return Fail(kSyntaxError);
  }
  if (condition.left.empty()) return Fail(kSyntaxError);
  SkipBlanks();
  if (AtEnd() || EndsWord(pos_)) return Fail(kSyntaxError);

  auto node = std::make_unique<Node>();
  node->kind = Node::Kind::kIf;
  node->condition = condition;
  if (Is(L'(')) {
    std::unique_ptr<Node> group = ParseGroup();
    if (!group) return nullptr;
    SkipBlanks();
    if (!AtEnd() && PeekWord() == L"else") {
      pos_ += 4;
      SkipBlanks();
      if (AtEnd()) return Fail(kSyntaxError);
      node->first = std::move(group);
      node->second = ParseSequence(nullptr);
      return node->second ? std::move(node) : nullptr;
    }
    node->first = ParseSequence(std::move(group));
  } else {
    node->first = ParseSequence(nullptr);
  }
  return node->first ? std::move(node) : nullptr;
}

// REM takes the rest of the line as it stands, operators and all.
std::unique_ptr<Node> LineParser::ParseRem() {
  auto node = std::make_unique<Node>();
  node->text = L"rem";
  while (pos_ < cells_.size() && !(cells_[pos_].c == L'\n' && !cells_[pos_].literal)) ++pos_;
  return node;
}

std::unique_ptr<Node> LineParser::ParseCommand(bool quiet) {
  auto node = std::make_unique<Node>();
  node->quiet = quiet;
  while (!AtEnd()) {
    const Cell cell = cells_[pos_];
    if (!cell.literal) {
      if (cell.c == L'\n' || cell.c == L'&' || cell.c == L'|' || (cell.c == L')' && depth_ > 0)) break;
      if (cell.c == L'>' || cell.c == L'<') {
        if (!ParseRedirect(&node->redirects, &node->text)) return nullptr;
        continue;
      }
    }
    node->text += cell.c;
    ++pos_;
  }
  return node;
}

bool LineParser::ParseRedirect(std::vector<Redirect>* redirects, std::wstring* text) {
  Redirect redirect;
  const wchar_t c = cells_[pos_++].c;
  redirect.stream = c == L'<' ? 0 : 1;
  // A digit names the stream only as a word of its own ("127.0>nul" sends
  // "127.0" to nul).
  if (c == L'>' && !text->empty() && iswdigit(text->back()) &&
      (text->size() == 1 || (*text)[text->size() - 2] == L' ' || (*text)[text->size() - 2] == L'\t')) {
    redirect.stream = text->back() - L'0';
    text->pop_back();
  }
  if (c == L'>' && Is(L'>')) {
    redirect.append = true;
    ++pos_;
  }
  if (Is(L'&') && pos_ + 1 < cells_.size() && iswdigit(cells_[pos_ + 1].c)) {
    redirect.duplicateOf = cells_[pos_ + 1].c - L'0';
    pos_ += 2;
  } else {
    SkipBlanks();
    for (; !EndsWord(pos_); ++pos_)
      if (cells_[pos_].c != L'"') redirect.target += cells_[pos_].c;
    if (redirect.target.empty()) {
      error_ = kSyntaxError;
      return false;
    }
  }
  redirects->push_back(redirect);
  return true;
}

bool LineParser::ParseTrailingRedirects(std::vector<Redirect>* redirects) {
  for (;;) {
    SkipBlanks();
    std::wstring text;
    if (!AtEnd() && !cells_[pos_].literal && iswdigit(cells_[pos_].c) && Is(L'>', 1)) {
      text = std::wstring(L" ") + cells_[pos_].c;
      ++pos_;
    } else if (!Is(L'>') && !Is(L'<')) {
      return true;
    }
    if (!ParseRedirect(redirects, &text)) return false;
  }
}

}  // namespace cmdbat
