#pragma once
// Sets an environment variable for one test's lifetime and gives back what it
// held before (or unsets it), so tests do not leak settings into each other.

#include <cstdlib>
#include <optional>
#include <string>

namespace test_support {

class scoped_env {
public:
    scoped_env(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        set(value);
    }
    ~scoped_env() {
        if (old_) set(*old_);
        else unset();
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

    // Gives the variable another value for the rest of the guard's life.
    void set(const std::string& value) {
#ifdef _WIN32
        _putenv_s(name_.c_str(), value.c_str());
#else
        ::setenv(name_.c_str(), value.c_str(), 1);
#endif
    }

private:
    void unset() {
#ifdef _WIN32
        _putenv_s(name_.c_str(), "");
#else
        ::unsetenv(name_.c_str());
#endif
    }

    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace test_support
