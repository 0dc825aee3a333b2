// The expressions of SET /A: 32-bit integers that wrap, decimal, 0x hex and
// 0 octal constants, variables by name (an unset or non-numeric one is 0),
// the C operators with their precedence, assignments (= += -= *= /= %= &=
// |= ^= <<= >>=) and comma-separated lists.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace cmdbat {

struct Variables {
  std::function<std::wstring(const std::wstring& name)> get;  // "" when unset
  std::function<void(const std::wstring& name, const std::wstring& value)> set;
};

// Evaluates the expression (quotes are ignored), assigning as it goes; the
// value of the last one in *result. False with the command processor's
// message when it cannot be evaluated.
bool EvaluateArithmetic(const std::wstring& expression, const Variables& variables, int32_t* result,
                        std::wstring* error);

}  // namespace cmdbat
