#pragma once
// What the about box shows and does, without a window: the program line, the
// setup path, and opening the vendor's address with its fallback through the
// browser command configured in the settings store.

#include <string>

namespace about {

inline constexpr char kVendorAddress[] = "https://www.velkaro.example/";        // text 2
inline constexpr char kNotice[] = "Copyright (C) VELKARO. All rights reserved.";  // text 3
inline constexpr char kSetupPathFormat[] = "Setup Path: %s";                     // text 4
inline constexpr char kSetupKey[] = "SOFTWARE\\VELKARO\\DiagnosticTool";
inline constexpr char kSetupValue[] = "SetupDir";

// "VELKARO Diagnostic Tool V" and the running program's file version.
std::string ProgramLine();

// "Setup Path: " and the stored setup directory; the program's directory
// (with its final slash) when the key is missing; "unknown" when the value
// cannot be read.
std::string SetupPathLine();

// Opens `url`: the desktop's way, else the command that the settings store
// names for ".htm" files under HKEY_CLASSES_ROOT, with the address in place
// of its placeholder. A result above 32 is success.
int GotoURL(const std::string& url);

// The fallback command line: cut at "\"%1\"" (or else "%1"), then one space
// and the address.
std::string FallbackCommandLine(const std::string& command, const std::string& url);

// "Unable to open hyperlink:\n\n" and the text for a failed open's code.
std::string HyperlinkErrorMessage(int code);

}  // namespace about
