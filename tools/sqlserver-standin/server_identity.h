#pragma once
// The server the stand-in stands for, told the same way wherever a client
// can ask: PRELOGIN's VERSION, LOGINACK's program version, @@VERSION and
// SERVERPROPERTY. SQL Server 2019 speaks TDS 7.1 to 7.4 and acknowledges the
// UTF-8 feature a TDS 7.4 login asks about, which is what the stand-in does.

namespace standin::identity {

inline constexpr int major_version = 15;
inline constexpr int minor_version = 0;
inline constexpr int build_number = 2000;
inline constexpr int revision = 5;

inline constexpr const char* program_name = "Microsoft SQL Server";
inline constexpr const char* product_version = "15.0.2000.5";
inline constexpr const char* product_level = "RTM";
inline constexpr const char* edition = "Developer Edition (64-bit)";
inline constexpr const char* version_banner =
    "Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
    "\tSep 24 2019 13:48:23 \n"
    "\tCopyright (C) 2019 Microsoft Corporation\n"
    "\tDeveloper Edition (64-bit) on Linux (Velmora SQL Server stand-in) <X64>";

}  // namespace standin::identity
