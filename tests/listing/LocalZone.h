#pragma once
// Runs a test in a fixed time zone with daylight saving (America/New_York) and, optionally, a
// non-English locale, restoring the process's zone and locale afterwards.
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class LocalZone {
  public:
    explicit LocalZone(const char* zone = "America/New_York", const char* locale = nullptr) {
        if (const char* old = std::getenv("TZ")) {
            oldZone_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
        oldLocale_ = std::setlocale(LC_ALL, nullptr);
        if (locale != nullptr) {
            localeSet_ = std::setlocale(LC_ALL, locale) != nullptr;
        }
    }
    ~LocalZone() {
        if (oldZone_) {
            setenv("TZ", oldZone_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
        std::setlocale(LC_ALL, oldLocale_.c_str());
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

    // False when the requested locale is not installed.
    bool LocaleSet() const { return localeSet_; }

  private:
    std::optional<std::string> oldZone_;
    std::string oldLocale_;
    bool localeSet_ = false;
};

// The locale the tests use to show that no text follows LC_TIME or LC_NUMERIC: German month and day
// names differ from the English ones and its decimal separator is a comma.
inline constexpr const char* kForeignLocale = "de_DE.UTF-8";

// 10 March 2025 12:00:00 in New York (daylight saving time since 9 March).
inline constexpr std::time_t kTenthOfMarchNoon = 1741622400;
