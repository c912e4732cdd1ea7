#include "diag/IcmpStatusName.h"

#include <gtest/gtest.h>

namespace {

TEST(IcmpStatusName, NamesTheTableAndNothingElse) {
    const struct {
        int code;
        const char* name;
    } cases[] = {
        {11001, "IP_BUF_TOO_SMALL"}, {11002, "IP_DEST_NET_UNREACHABLE"},
        {11010, "IP_REQ_TIMED_OUT"}, {11013, "IP_TTL_EXPIRED_TRANSIT"},
        {11022, "IP_UNLOAD"},        {11050, "IP_GENERAL_FAILURE"},
        {11255, "IP_PENDING"},       {0, "<IPunknown>"},
        {11000, "<IPunknown>"},      {11023, "<IPunknown>"},
        {11049, "<IPunknown>"},      {-11010, "<IPunknown>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IcmpStatusName(c.code), c.name) << c.code;
    }
}

}  // namespace
