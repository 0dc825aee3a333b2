// Control commands of the automation tool for skinned windows:
// controls, click, check, type, text, wait-text (see automation_commands.cpp).
#pragma once
#include <string>
#include <vector>

namespace DuiLib {

class CControlUI;

// Registers the commands with the window layer's automation hook (once).
void RegisterControlCommands();

// Why a user could not reach the control now ("" when they could): a
// control is out of reach when it or any parent is hidden or disabled.
std::wstring WhyUnreachable(CControlUI* control);

// One line per control, children indented under their parent.
std::string DescribeControls(CControlUI* root);

}  // namespace DuiLib
