#include "set_arithmetic.h"

#include <cwctype>
#include <vector>

namespace cmdbat {
namespace {

const wchar_t kMissingOperand[] = L"Missing operand.";
const wchar_t kInvalidNumber[] =
    L"Invalid number.  Numeric constants are either decimal (17), hexadecimal (0x11), or octal (021).";

// Longest first, so that "<<=" is not read as "<<" and "=".
const wchar_t* const kOperators[] = {L"<<=", L">>=", L"<<", L">>", L"*=", L"/=", L"%=", L"+=", L"-=", L"&=",
                                     L"^=",  L"|=",  L"(",  L")",  L"!",  L"~",  L"-",  L"+",  L"*",  L"/",
                                     L"%",   L"&",   L"^",  L"|",  L"=",  L","};

bool IsOperatorStart(wchar_t c) { return wcschr(L"()!~-+*/%&^|=,<>", c) != nullptr; }

struct Token {
  enum class Kind { kNumber, kName, kOperator };
  Kind kind;
  std::wstring text;
};

// Wraps to 32 bits as the command processor's arithmetic does.
int32_t Wrap(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }

// A constant: decimal, 0x hex or 0 octal, all of the text.
bool ParseNumber(const std::wstring& text, int32_t* value, std::wstring* error) {
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    start = 2;
  } else if (text.size() > 1 && text[0] == L'0') {
    base = 8;
    start = 1;
  }
  uint64_t number = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const wchar_t c = static_cast<wchar_t>(towlower(text[i]));
    int digit = iswdigit(c) ? c - L'0' : (c >= L'a' && c <= L'f') ? c - L'a' + 10 : 99;
    if (digit >= base) {
      *error = kInvalidNumber;
      return false;
    }
    number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (number > 0xFFFFFFFFull || (base == 10 && number > 0x7FFFFFFFull)) {
      *error = L"Invalid number.  Numbers are limited to 32-bits of precision.";
      return false;
    }
  }
  *value = Wrap(static_cast<int64_t>(number));
  return true;
}

class Evaluator {
 public:
  Evaluator(std::vector<Token> tokens, const Variables& variables)
      : tokens_(std::move(tokens)), variables_(variables) {}

  bool Run(int32_t* result, std::wstring* error) {
    bool ok = List(result);
    if (ok && pos_ < tokens_.size()) ok = Error(tokens_[pos_].text == L")" ? L"Unbalanced parenthesis."
                                                                            : L"Missing operator.");
    if (!ok) *error = error_;
    return ok;
  }

 private:
  bool Error(const std::wstring& message) {
    if (error_.empty()) error_ = message;
    return false;
  }

  bool IsOp(const wchar_t* op, size_t ahead = 0) const {
    return pos_ + ahead < tokens_.size() && tokens_[pos_ + ahead].kind == Token::Kind::kOperator &&
           tokens_[pos_ + ahead].text == op;
  }

  bool List(int32_t* value) {
    if (!Assignment(value)) return false;
    while (IsOp(L",")) {
      ++pos_;
      if (!Assignment(value)) return false;
    }
    return true;
  }

  bool Assignment(int32_t* value) {
    static const wchar_t* const kAssignments[] = {L"=",  L"+=", L"-=", L"*=", L"/=",  L"%=",
                                                  L"&=", L"|=", L"^=", L"<<=", L">>="};
    if (pos_ < tokens_.size() && tokens_[pos_].kind == Token::Kind::kName) {
      for (const wchar_t* op : kAssignments) {
        if (!IsOp(op, 1)) continue;
        const std::wstring name = tokens_[pos_].text;
        pos_ += 2;
        int32_t right = 0;
        if (!Assignment(&right)) return false;
        int32_t current = 0;
        if (op[0] != L'=' && !Variable(name, &current)) return false;
        const std::wstring binary(op, wcslen(op) - 1);
        if (!binary.empty() && !Apply(binary, current, right, &right)) return false;
        variables_.set(name, std::to_wstring(right));
        *value = right;
        return true;
      }
    }
    return Binary(0, value);
  }

  // Levels from the loosest: | ^ & (<< >>) (+ -) (* / %).
  bool Binary(int level, int32_t* value) {
    static const std::vector<std::vector<const wchar_t*>> kLevels = {
        {L"|"}, {L"^"}, {L"&"}, {L"<<", L">>"}, {L"+", L"-"}, {L"*", L"/", L"%"}};
    if (level == static_cast<int>(kLevels.size())) return Unary(value);
    if (!Binary(level + 1, value)) return false;
    for (;;) {
      const wchar_t* found = nullptr;
      for (const wchar_t* op : kLevels[static_cast<size_t>(level)])
        if (IsOp(op)) found = op;
      if (!found) return true;
      ++pos_;
      int32_t right = 0;
      if (!Binary(level + 1, &right) || !Apply(found, *value, right, value)) return false;
    }
  }

  bool Unary(int32_t* value) {
    for (const wchar_t* op : {L"-", L"+", L"!", L"~"}) {
      if (!IsOp(op)) continue;
      ++pos_;
      if (!Unary(value)) return false;
      if (op[0] == L'-') *value = Wrap(-static_cast<int64_t>(*value));
      if (op[0] == L'!') *value = *value == 0 ? 1 : 0;
      if (op[0] == L'~') *value = ~*value;
      return true;
    }
    if (pos_ >= tokens_.size()) return Error(kMissingOperand);
    const Token& token = tokens_[pos_];
    if (IsOp(L"(")) {
      ++pos_;
      if (!List(value)) return false;
      if (!IsOp(L")")) return Error(L"Unbalanced parenthesis.");
      ++pos_;
      return true;
    }
    if (token.kind == Token::Kind::kOperator) return Error(kMissingOperand);
    ++pos_;
    if (token.kind == Token::Kind::kNumber) return ParseNumber(token.text, value, &error_);
    return Variable(token.text, value);
  }

  // A variable's value read as a constant; text that is none counts as 0.
  bool Variable(const std::wstring& name, int32_t* value) {
    std::wstring text = variables_.get(name);
    while (!text.empty() && iswspace(text.back())) text.pop_back();
    size_t start = 0;
    while (start < text.size() && iswspace(text[start])) ++start;
    text = text.substr(start);
    bool negative = !text.empty() && text[0] == L'-';
    if (negative) text = text.substr(1);
    std::wstring ignored;
    if (text.empty() || !iswdigit(text[0]) || !ParseNumber(text, value, &ignored)) {
      *value = 0;
      return true;
    }
    if (negative) *value = Wrap(-static_cast<int64_t>(*value));
    return true;
  }

  bool Apply(const std::wstring& op, int32_t a, int32_t b, int32_t* out) {
    const int64_t x = a, y = b;
    if ((op == L"/" || op == L"%") && b == 0) return Error(L"Divide by zero error.");
    if (op == L"+") *out = Wrap(x + y);
    else if (op == L"-") *out = Wrap(x - y);
    else if (op == L"*") *out = Wrap(x * y);
    else if (op == L"/") *out = Wrap(x / y);
    else if (op == L"%") *out = Wrap(x % y);
    else if (op == L"&") *out = a & b;
    else if (op == L"|") *out = a | b;
    else if (op == L"^") *out = a ^ b;
    else if (op == L"<<") *out = b < 0 || b > 31 ? 0 : Wrap(static_cast<int64_t>(static_cast<uint32_t>(a) << b));
    else if (op == L">>") *out = b < 0 || b > 31 ? (a < 0 ? -1 : 0) : a >> b;
    return true;
  }

  std::vector<Token> tokens_;
  const Variables& variables_;
  size_t pos_ = 0;
  std::wstring error_;
};

}  // namespace

bool EvaluateArithmetic(const std::wstring& expression, const Variables& variables, int32_t* result,
                        std::wstring* error) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < expression.size()) {
    const wchar_t c = expression[i];
    if (iswspace(c) || c == L'"') {
      ++i;
    } else if (IsOperatorStart(c)) {
      const wchar_t* match = nullptr;
      for (const wchar_t* op : kOperators)
        if (expression.compare(i, wcslen(op), op) == 0) {
          match = op;
          break;
        }
      if (!match) {  // a lone < or >
        *error = L"Missing operator.";
        return false;
      }
      tokens.push_back({Token::Kind::kOperator, match});
      i += wcslen(match);
    } else {
      size_t start = i;
      while (i < expression.size() && !iswspace(expression[i]) && expression[i] != L'"' &&
             !IsOperatorStart(expression[i]))
        ++i;
      std::wstring word = expression.substr(start, i - start);
      tokens.push_back({iswdigit(word[0]) ? Token::Kind::kNumber : Token::Kind::kName, word});
    }
  }
  if (tokens.empty()) {
    *error = L"The syntax of the command is incorrect.";
    return false;
  }
  *result = 0;
  return Evaluator(std::move(tokens), variables).Run(result, error);
}

}  // namespace cmdbat
