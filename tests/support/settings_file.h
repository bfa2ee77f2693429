#pragma once
// The program's settings for one test: a velmora.conf of the test's own, in a
// folder that stands alone in XDG_CONFIG_DIRS until the test ends (where the
// Windows program reads the registry, its tests write the key instead).

#include <fstream>
#include <string>

#include "support/scoped_env.h"
#include "support/temp_folder.h"

namespace test_support {

class settings_file {
public:
    explicit settings_file(const std::string& conf_text = {})
        : folder_("velmora_conf"), env_("XDG_CONFIG_DIRS", folder_.text()) {
        if (!conf_text.empty()) write(conf_text);
    }
    // Replaces velmora.conf's text.
    void write(const std::string& conf_text) { std::ofstream(folder_.dir() + "velmora.conf") << conf_text; }
    // The usual two values.
    void point_at(const std::string& server_name, const std::string& database) {
        write("[General]\nSERVERNAME=" + server_name + "\nDATABASE=" + database + "\n");
    }
    std::string folder() const { return folder_.text(); }

private:
    temp_folder folder_;
    scoped_env env_;
};

}  // namespace test_support
