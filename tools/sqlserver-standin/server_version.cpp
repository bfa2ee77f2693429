#include "sqlserver-standin/server_version.h"

#include <cctype>

#include "sqlserver-standin/tds.h"

namespace standin {

namespace {

using tds::tds_71;
using tds::tds_72;
using tds::tds_73b;
using tds::tds_74;
constexpr bool yes = true, no = false;

// One row a version: its build (RTM, or the service pack named), the newest
// TDS it speaks, what its T-SQL has, and how it names itself. The README's
// "Versions" section gives the Microsoft page behind each cell.
//
//                                                               sys.  APPLOCK ON    DROP  CREATE OR Product Default UTF-8
//                                                               views _TEST   DATA- IF    ALTER     Major   backup  Feature
//                                                                             BASE  EXISTS          Version path    Ext
constexpr server_version versions[] = {
    {"2000",   8,  0, 2039,   0, "8.00.2039",     "SP4", tds_71,  {no,   no,     no,   no,   no,       no,     no,     no},
     "Desktop Engine",
     "Microsoft SQL Server  2000 - 8.00.2039 (Intel X86) \n"
     "\tCopyright (c) 1988-2003 Microsoft Corporation\n"
     "\tDesktop Engine on Windows (Velmora SQL Server stand-in)"},
    {"2005",   9,  0, 1399,   6, "9.00.1399.06",  "RTM", tds_72,  {yes,  yes,    yes,  no,   no,       no,     no,     no},
     "Express Edition",
     "Microsoft SQL Server 2005 - 9.00.1399.06 (Intel X86) \n"
     "\tCopyright (c) 1988-2005 Microsoft Corporation\n"
     "\tExpress Edition on Windows (Velmora SQL Server stand-in)"},
    {"2008R2", 10, 50, 1600,  1, "10.50.1600.1",  "RTM", tds_73b, {yes,  yes,    yes,  no,   no,       no,     no,     no},
     "Express Edition (64-bit)",
     "Microsoft SQL Server 2008 R2 (RTM) - 10.50.1600.1 (X64) \n"
     "\tCopyright (c) Microsoft Corporation\n"
     "\tExpress Edition (64-bit) on Windows (Velmora SQL Server stand-in) <X64>"},
    {"2012",   11, 0, 2100,  60, "11.0.2100.60",  "RTM", tds_74,  {yes,  yes,    yes,  no,   no,       no,     no,     no},
     "Express Edition (64-bit)",
     "Microsoft SQL Server 2012 - 11.0.2100.60 (X64) \n"
     "\tCopyright (c) Microsoft Corporation\n"
     "\tExpress Edition (64-bit) on Windows (Velmora SQL Server stand-in) <X64>"},
    {"2014",   12, 0, 2000,   8, "12.0.2000.8",   "RTM", tds_74,  {yes,  yes,    yes,  no,   no,       no,     no,     no},
     "Express Edition (64-bit)",
     "Microsoft SQL Server 2014 - 12.0.2000.8 (X64) \n"
     "\tCopyright (c) Microsoft Corporation\n"
     "\tExpress Edition (64-bit) on Windows (Velmora SQL Server stand-in) <X64>"},
    {"2016",   13, 0, 4001,   0, "13.0.4001.0",   "SP1", tds_74,  {yes,  yes,    yes,  yes,  yes,      yes,    no,     no},
     "Express Edition (64-bit)",
     "Microsoft SQL Server 2016 (SP1) - 13.0.4001.0 (X64) \n"
     "\tCopyright (c) Microsoft Corporation\n"
     "\tExpress Edition (64-bit) on Windows (Velmora SQL Server stand-in) <X64>"},
    {"2017",   14, 0, 1000, 169, "14.0.1000.169", "RTM", tds_74,  {yes,  yes,    yes,  yes,  yes,      yes,    no,     no},
     "Express Edition (64-bit)",
     "Microsoft SQL Server 2017 (RTM) - 14.0.1000.169 (X64) \n"
     "\tCopyright (C) 2017 Microsoft Corporation\n"
     "\tExpress Edition (64-bit) on Linux (Velmora SQL Server stand-in) <X64>"},
    {"2019",   15, 0, 2000,   5, "15.0.2000.5",   "RTM", tds_74,  {yes,  yes,    yes,  yes,  yes,      yes,    yes,    yes},
     "Developer Edition (64-bit)",
     "Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
     "\tSep 24 2019 13:48:23 \n"
     "\tCopyright (C) 2019 Microsoft Corporation\n"
     "\tDeveloper Edition (64-bit) on Linux (Velmora SQL Server stand-in) <X64>"},
    {"2022",   16, 0, 1000,   6, "16.0.1000.6",   "RTM", tds_74,  {yes,  yes,    yes,  yes,  yes,      yes,    yes,    yes},
     "Express Edition (64-bit)",
     "Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64) \n"
     "\tCopyright (C) 2022 Microsoft Corporation\n"
     "\tExpress Edition (64-bit) on Linux (Velmora SQL Server stand-in) <X64>"},
};

}  // namespace

std::span<const server_version> all_versions() { return versions; }

const server_version& default_version() { return *find_version("2019"); }

const server_version* find_version(std::string_view name) {
    for (const auto& v : versions) {
        std::string_view n = v.name;
        bool same = n.size() == name.size();
        for (std::size_t i = 0; same && i < n.size(); ++i)
            same = std::toupper(static_cast<unsigned char>(n[i])) == std::toupper(static_cast<unsigned char>(name[i]));
        if (same) return &v;
    }
    return nullptr;
}

}  // namespace standin
