#include "window_support.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace window_test {

temp_dir::temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "velmora-window-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

registry_guard::registry_guard(const std::string& conf_text) {
    temp_dir holder;  // only for a unique name; the folder is kept below
    dir_ = holder.path() + "-conf";
    fs::create_directories(dir_);
    std::ofstream(dir_ + "/velmora.conf") << conf_text;
    if (const char* v = std::getenv("XDG_CONFIG_DIRS")) {
        had_value_ = true;
        old_value_ = v;
    }
    setenv("XDG_CONFIG_DIRS", dir_.c_str(), 1);
}

registry_guard::~registry_guard() {
    if (had_value_)
        setenv("XDG_CONFIG_DIRS", old_value_.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_DIRS");
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

cwd_guard::cwd_guard(const std::string& dir) : old_(fs::current_path().string()) { fs::current_path(dir); }

cwd_guard::~cwd_guard() {
    std::error_code ec;
    fs::current_path(old_, ec);
}

int closed_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);  // bound but never listening: connects are refused
    return ntohs(a.sin_port);
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeout_ms) QTest::qWait(10);
    return pred();
}

}  // namespace window_test
