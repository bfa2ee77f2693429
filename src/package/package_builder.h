#pragma once
// The developer's "get": packs every .sql script of a directory into db.dat.

#include <string>
#include <string_view>
#include <vector>

#include "ui_services.h"

namespace velmora {

struct build_result {
    bool written = false;            // db.dat was replaced
    std::vector<std::string> names;  // listed script names (GBK bytes), in list = package order
};

// Lists script_dir's .sql files, checks every script, writes run_dir + "db.dat"
// atomically. Refusals and write failures: one message box titled gs_appname.
// Success: no message.
build_result build_package(const std::string& script_dir, const std::string& run_dir,
                           ui_services& ui);

// The same build with the package written to package_path instead of
// run_dir + "db.dat".
build_result build_package_file(const std::string& script_dir, const std::string& package_path,
                                ui_services& ui);

// The scripts the builder packages, in package order: regular .sql files (any
// letter case), without hidden and read-only ones, sorted with ASCII letters
// folded to lower case, ties broken by the raw bytes. A missing or unreadable
// directory lists nothing.
std::vector<std::string> list_scripts(const std::string& script_dir);

// Why a script cannot be carried by the package, as a message fragment
// (UTF-8); empty when it can.
std::string script_refusal_reason(std::string_view name, std::string_view script);

}  // namespace velmora
