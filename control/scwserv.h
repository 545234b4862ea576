// The computer browser of the PC-switch dialog.
#pragma once

#include <string>

class QWidget;

// Lets the user pick one computer of the network: true with its name in
// `PcName`. This platform has no browsable network neighbourhood, so the
// browser is never shown: the answer is always "no selection" (false,
// `PcName` unchanged) and the name is typed.
bool BrowseForComputer(QWidget* Owner, const std::string& Prompt, std::string& PcName);
