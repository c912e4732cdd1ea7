#include "support/ConfigFolder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <system_error>

ConfigFolder::ConfigFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wisp-app-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary configuration folder";
    }
    path_ = pattern;
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
        previous_ = old;
    }
    ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
    // The saved transfer queue lives in the data folder: private too, inside the same folder.
    if (const char* old = std::getenv("XDG_DATA_HOME")) {
        previousData_ = old;
    }
    ::setenv("XDG_DATA_HOME", (path_ / "data").c_str(), 1);
}

ConfigFolder::~ConfigFolder() {
    if (previous_) {
        ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    if (previousData_) {
        ::setenv("XDG_DATA_HOME", previousData_->c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
