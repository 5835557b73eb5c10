#include <gtest/gtest.h>
#include "velkor_proxy.h"
TEST(Smoke, Version) { EXPECT_STREQ(proxy_version(), "1.0.0"); }
