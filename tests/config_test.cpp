// The configuration reader: which message wins, cuts, conversions, key
// lookup and the state it leaves behind after a failure.
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "config.h"
#include "state.h"

namespace {

ProxyState st;
char cert[kPathCapacity];
char key[kPathCapacity];

// Parses doc into the cleared local record; the message is left in g_err.
bool parse(const std::string& doc) {
    clear_state(st);
    g_err[0] = '\0';
    return parse_config(doc.c_str(), st, cert, key);
}

const std::string kOneRoute = R"("routes":[{"target_port":9000}])";

// A document with the given top-level members followed by one good route.
std::string doc_with(const std::string& members) {
    return "{" + members + "," + kOneRoute + "}";
}

std::string routes_doc(const std::string& elements) {
    return R"({"listen_port":80,"routes":[)" + elements + "]}";
}

// A document of exactly n tokens: 8 for the frame and one good route, the
// rest as bare numbers in the routes array.
std::string doc_of_tokens(int n) {
    std::string doc = R"({"listen_port":80,"routes":[{"target_port":1})";
    for (int i = 8; i < n; ++i) doc += ",0";
    return doc + "]}";
}

struct FailCase {
    const char* name;
    std::string doc;
    const char* message;
};

class ConfigMessages : public ::testing::TestWithParam<FailCase> {};

TEST_P(ConfigMessages, FirstFailingStepDecides) {
    const FailCase& c = GetParam();
    EXPECT_FALSE(parse(c.doc));
    EXPECT_STREQ(g_err, c.message);
}

const char kNotObject[] = "config not a JSON object";
const char kNoListen[] = "listen_port required";
const char kNoKey[] = "tls_key required when tls_cert is set";
const char kNoRoutes[] = "routes array required";
const char kNoRoute[] = "at least one route required";
const char kBadTimeout[] = "head_timeout_ms invalid";

INSTANTIATE_TEST_SUITE_P(
    Config, ConfigMessages,
    ::testing::Values(
        FailCase{"Empty", "", kNotObject},
        FailCase{"OnlyWhiteSpace", " \t\r\n ", kNotObject},
        FailCase{"TopLevelArray", "[" + doc_with(R"("listen_port":80)") + "]", kNotObject},
        FailCase{"TopLevelString", R"("listen_port")", kNotObject},
        FailCase{"TopLevelBareWord", "listen_port", kNotObject},
        FailCase{"ClosingBraceMissing", R"({"listen_port":80,"routes":[{"target_port":1}])", kNotObject},
        FailCase{"StringNotClosed", R"({"listen_port":"80})", kNotObject},
        FailCase{"MismatchedBracket", R"({"listen_port":80,"routes":[{"target_port":1}}})", kNotObject},
        FailCase{"BadEscape", doc_with(R"("listen_port":80,"host":"a\qb")"), kNotObject},
        FailCase{"ShortUnicodeEscape", doc_with(R"("listen_port":80,"x":"\u12")"), kNotObject},
        FailCase{"NonAsciiInBareWord", doc_with("\"listen_port\":8\xc3\xa9"), kNotObject},
        FailCase{"ControlByteInBareWord", doc_with("\"listen_port\":8\x01"), kNotObject},
        FailCase{"MoreThan256Tokens", doc_of_tokens(257), kNotObject},
        // Later problems in the same document do not change the message.
        FailCase{"NotObjectBeatsEverything", "[]", kNotObject},

        FailCase{"EmptyObject", "{}", kNoListen},
        FailCase{"CapitalisedKey", doc_with(R"("Listen_Port":80)"), kNoListen},
        FailCase{"KeyOnlyInNestedObject", doc_with(R"("inner":{"listen_port":80})"), kNoListen},
        FailCase{"KeyDeeplyNested", doc_with(R"("a":[{"b":{"listen_port":80}}])"), kNoListen},
        FailCase{"UnquotedKey", doc_with("listen_port:80"), kNoListen},
        FailCase{"KeyNameAsValue", doc_with(R"("name":"listen_port")"), kNoListen},
        FailCase{"LongerName", doc_with(R"("listen_port_x":80)"), kNoListen},
        FailCase{"ShorterName", doc_with(R"("listen_por":80)"), kNoListen},
        FailCase{"KeyIsLastToken", R"({"listen_port"})", kNoListen},
        FailCase{"ListenPortBeatsTlsAndRoutes", R"({"tls_cert":"c.pem"})", kNoListen},

        FailCase{"CertWithoutKey", doc_with(R"("listen_port":80,"tls_cert":"c.pem")"), kNoKey},
        FailCase{"CertWithEmptyKey", doc_with(R"("listen_port":80,"tls_cert":"c.pem","tls_key":"")"), kNoKey},
        FailCase{"KeyCheckBeatsRoutes", R"({"listen_port":80,"tls_cert":"c.pem"})", kNoKey},

        FailCase{"RoutesMissing", R"({"listen_port":80})", kNoRoutes},
        FailCase{"RoutesAnObject", R"({"listen_port":80,"routes":{"target_port":1}})", kNoRoutes},
        FailCase{"RoutesAString", R"({"listen_port":80,"routes":"[]"})", kNoRoutes},
        FailCase{"RoutesKeyIsLastToken", R"({"listen_port":80,"routes"})", kNoRoutes},
        FailCase{"RoutesOnlyNested", R"({"listen_port":80,"x":{"routes":[{"target_port":1}]}})", kNoRoutes},

        FailCase{"RoutesEmpty", routes_doc(""), kNoRoute},
        FailCase{"RoutesOnlyScalars", routes_doc(R"(1,"two",true,null)"), kNoRoute},
        FailCase{"RouteObjectsNestedDeeper", routes_doc(R"([{"target_port":1}],[[{"target_port":2}]])"), kNoRoute},

        FailCase{"SecondOfThreeLacksPort",
                 routes_doc(R"({"target_port":1},{"host":"a"},{"target_port":3})"),
                 "route 1: target_port required"},
        FailCase{"NonObjectsNotCounted",
                 routes_doc(R"(7,"x",[],{"target_port":1},null,{"host":"a"})"),
                 "route 1: target_port required"},
        FailCase{"PortZero", routes_doc(R"({"target_port":0})"), "route 0: target_port required"},
        FailCase{"PortNegative", routes_doc(R"({"target_port":-80})"), "route 0: target_port required"},
        FailCase{"PortNotNumeric", routes_doc(R"({"target_port":"http"})"), "route 0: target_port required"},
        FailCase{"PortKeyIsLastToken", R"({"listen_port":80,"routes":[{"target_port"}]})",
                 "route 0: target_port required"},
        FailCase{"PortOnlyInNestedObject", routes_doc(R"({"inner":{"target_port":1}})"),
                 "route 0: target_port required"},

        // The guard keys take digits only, and are checked last, in this order.
        FailCase{"TimeoutWithUnit", doc_with(R"("listen_port":80,"head_timeout_ms":20s)"), kBadTimeout},
        FailCase{"TimeoutAsString", doc_with(R"("listen_port":80,"head_timeout_ms":"20000")"), kBadTimeout},
        FailCase{"TimeoutNegative", doc_with(R"("listen_port":80,"head_timeout_ms":-1)"), kBadTimeout},
        FailCase{"TimeoutLeadingZero", doc_with(R"("listen_port":80,"head_timeout_ms":020)"), kBadTimeout},
        FailCase{"TimeoutOverAnHour", doc_with(R"("listen_port":80,"head_timeout_ms":3600001)"), kBadTimeout},
        FailCase{"CapOverAMillion", doc_with(R"("listen_port":80,"max_connections":1000001)"),
                 "max_connections invalid"},
        FailCase{"PerClientCapNull", doc_with(R"("listen_port":80,"max_connections_per_client":null)"),
                 "max_connections_per_client invalid"},
        FailCase{"TimeoutBeforeCaps",
                 doc_with(R"("listen_port":80,"max_connections":-1,"head_timeout_ms":"x")"), kBadTimeout},
        FailCase{"IdleTimeoutOverADay", doc_with(R"("listen_port":80,"idle_timeout_ms":86400001)"),
                 "idle_timeout_ms invalid"},
        FailCase{"IdleTimeoutAsString", doc_with(R"("listen_port":80,"idle_timeout_ms":"300000")"),
                 "idle_timeout_ms invalid"},
        FailCase{"PerClientCapBeforeIdleTimeout",
                 doc_with(R"("listen_port":80,"idle_timeout_ms":-1,"max_connections_per_client":-1)"),
                 "max_connections_per_client invalid"},
        FailCase{"CapBeforePerClientCap",
                 doc_with(R"("listen_port":80,"max_connections_per_client":-1,"max_connections":"x")"),
                 "max_connections invalid"},
        FailCase{"RoutesBeforeGuards", R"({"listen_port":80,"head_timeout_ms":-1,"routes":[]})", kNoRoute}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

TEST(ConfigTokens, Exactly256TokensAreEnough) {
    EXPECT_TRUE(parse(doc_of_tokens(256))) << g_err;
    EXPECT_FALSE(parse(doc_of_tokens(257)));
}

struct PortCase {
    const char* value;
    int port;
};

TEST(ConfigNumbers, ConvertLikeAtoiFromTheFirst15Characters) {
    const PortCase cases[] = {
        {"8443", 8443},
        {R"("8443")", 8443},
        {"\" \t\n8443\"", 8443},       // leading white space skipped
        {R"("+81")", 81},
        {"-5", -5},
        {"0", 0},
        {"70000", 70000},
        {"true", 0},
        {"null", 0},
        {R"("80abc")", 80},
        {R"("abc80")", 0},
        {R"("")", 0},
        {"8.9e3", 8},
        {"{}", 0},                      // the value's kind is not examined
        {R"("000000000000080123")", 80},  // only "000000000000080" is read
        {R"("      844399999999")", 844399999},
        {R"("2147483647")", INT_MAX},
        {R"("99999999999999")", INT_MAX},  // beyond int: clamped
        {R"("-99999999999999")", INT_MIN},
    };
    for (const PortCase& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(parse(doc_with(std::string(R"("listen_port":)") + c.value))) << g_err;
        EXPECT_EQ(st.listen_port, c.port);
    }
}

TEST(ConfigNumbers, RedirectAndTargetPortConvertTheSameWay) {
    ASSERT_TRUE(parse(R"({"listen_port":80,"http_redirect_port":"8080",)"
                      R"("routes":[{"target_port":"  9001x"}]})"));
    EXPECT_EQ(st.redirect_port, 8080);
    EXPECT_EQ(st.routes[0].target_port, 9001);

    ASSERT_TRUE(parse(R"({"listen_port":80,"http_redirect_port":-3,"routes":[{"target_port":70000}]})"));
    EXPECT_EQ(st.redirect_port, -3);
    EXPECT_EQ(st.routes[0].target_port, 70000);

    ASSERT_TRUE(parse(doc_with(R"("listen_port":80)")));
    EXPECT_EQ(st.redirect_port, 0);
}

TEST(ConfigGuards, DefaultsAndTheLargestValues) {
    ASSERT_TRUE(parse(doc_with(R"("listen_port":80)")));
    EXPECT_EQ(st.head_timeout_ms, 20000);
    EXPECT_EQ(st.max_connections + st.max_connections_per_client + st.idle_timeout_ms, 0);
    ASSERT_TRUE(parse(doc_with(R"("listen_port":80,"head_timeout_ms":0,"max_connections":1000000,)"
                               R"("max_connections_per_client":1000000)")));
    EXPECT_EQ(st.head_timeout_ms + st.max_connections + st.max_connections_per_client, 2000000);
    ASSERT_TRUE(parse(doc_with(R"("listen_port":80,"head_timeout_ms":3600000,)"
                               R"("idle_timeout_ms":86400000)")));
    EXPECT_EQ(st.head_timeout_ms, 3600000);
    EXPECT_EQ(st.idle_timeout_ms, 86400000);
}

TEST(ConfigKeys, FirstKeyWins) {
    ASSERT_TRUE(parse(R"({"listen_port":81,"listen_port":82,"routes":[{"target_port":1}],)"
                      R"("routes":{}})"));
    EXPECT_EQ(st.listen_port, 81);

    ASSERT_TRUE(parse(routes_doc(R"({"host":"a","host":"b","target_port":1,"target_port":0})")));
    EXPECT_STREQ(st.routes[0].host, "a");
    EXPECT_EQ(st.routes[0].target_port, 1);
}

TEST(ConfigKeys, TextAfterTheFirstObjectHasNoTopLevelKeys) {
    ASSERT_TRUE(parse(doc_with(R"("listen_port":80)") + R"( {"listen_port":90})"));
    EXPECT_EQ(st.listen_port, 80);
}

TEST(ConfigKeys, RouteKeysInAnyOrderAndOnlyDirectOnes) {
    ASSERT_TRUE(parse(routes_doc(
        R"({"target_port":9,"extra":{"host":"inner"},"target_ip":"10.0.0.2","path_prefix":"/p","host":"h"})")));
    const Route& r = st.routes[0];
    EXPECT_STREQ(r.host, "h");
    EXPECT_STREQ(r.path_prefix, "/p");
    EXPECT_STREQ(r.target_ip, "10.0.0.2");
    EXPECT_EQ(r.target_port, 9);
}

TEST(ConfigTexts, CutToCapacityLessOne) {
    const std::string host(300, 'h');
    const std::string prefix = "/" + std::string(299, 'p');
    const std::string ip(70, '1');
    const std::string path(600, 'c');
    ASSERT_TRUE(parse(R"({"listen_port":80,"tls_cert":")" + path + R"(","tls_key":")" + path +
                      R"(","routes":[{"host":")" + host + R"(","path_prefix":")" + prefix +
                      R"(","target_ip":")" + ip + R"(","target_port":1}]})"));
    EXPECT_EQ(std::string(st.routes[0].host), host.substr(0, 255));
    EXPECT_EQ(std::string(st.routes[0].path_prefix), prefix.substr(0, 255));
    EXPECT_EQ(std::string(st.routes[0].target_ip), ip.substr(0, 63));
    EXPECT_EQ(std::string(cert), path.substr(0, 511));
    EXPECT_EQ(std::string(key), path.substr(0, 511));
}

TEST(ConfigTexts, KeptRawAsWritten) {
    ASSERT_TRUE(parse(routes_doc(
        R"({"host":{"a":"b"},"path_prefix":"\/api\u0041\"q","target_ip":bare.word,"target_port":1},)"
        R"({"host":["x",1],"target_port":2})")));
    EXPECT_STREQ(st.routes[0].host, R"({"a":"b"})");
    EXPECT_STREQ(st.routes[0].path_prefix, R"(\/api\u0041\"q)");
    EXPECT_STREQ(st.routes[0].target_ip, "bare.word");
    EXPECT_STREQ(st.routes[1].host, R"(["x",1])");
}

TEST(ConfigTexts, EmptyOrMissingValuesKeepTheDefaults) {
    ASSERT_TRUE(parse(routes_doc(R"({"host":"","path_prefix":"","target_ip":"","target_port":1},)"
                                 R"({"target_port":2})")));
    ASSERT_EQ(st.route_count, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_STREQ(st.routes[i].host, "");
        EXPECT_STREQ(st.routes[i].path_prefix, "/");
        EXPECT_STREQ(st.routes[i].target_ip, "127.0.0.1");
    }
}

TEST(ConfigTls, EnabledExactlyWhenTheCertificatePathIsNonEmpty) {
    ASSERT_TRUE(parse(doc_with(R"("listen_port":80,"tls_cert":"c.pem","tls_key":"k.pem")")));
    EXPECT_EQ(st.tls_enabled, 1);
    EXPECT_STREQ(cert, "c.pem");
    EXPECT_STREQ(key, "k.pem");

    ASSERT_TRUE(parse(doc_with(R"("listen_port":80,"tls_cert":"","tls_key":"k.pem")")));
    EXPECT_EQ(st.tls_enabled, 0);
    EXPECT_STREQ(cert, "");

    strcpy(cert, "stale");
    strcpy(key, "stale");
    ASSERT_TRUE(parse(doc_with(R"("listen_port":80)")));
    EXPECT_EQ(st.tls_enabled, 0);
    EXPECT_STREQ(cert, "");
    EXPECT_STREQ(key, "");
}

TEST(ConfigRoutes, SixteenAcceptedAndTheRestNotRead) {
    std::string elements;
    for (int i = 0; i < 16; ++i) {
        elements += R"({"host":"h)" + std::to_string(i) + R"(","target_port":)" +
                    std::to_string(1000 + i) + "},";
    }
    elements += R"({"host":"seventeenth, no port"})";
    ASSERT_TRUE(parse(routes_doc(elements))) << g_err;
    ASSERT_EQ(st.route_count, 16);
    EXPECT_STREQ(st.routes[15].host, "h15");
    EXPECT_EQ(st.routes[15].target_port, 1015);
}

TEST(ConfigPartialState, FieldsReadBeforeTheFailureAreKept) {
    ASSERT_FALSE(parse(R"({"listen_port":8443,"http_redirect_port":8080,"tls_cert":"c","tls_key":"k"})"));
    EXPECT_STREQ(g_err, kNoRoutes);
    EXPECT_EQ(st.listen_port, 8443);
    EXPECT_EQ(st.redirect_port, 8080);
    EXPECT_EQ(st.tls_enabled, 1);
    EXPECT_EQ(st.route_count, 0);
    EXPECT_EQ(st.running.load(), 0);

    ASSERT_FALSE(parse(R"({"listen_port":81,"tls_cert":"c"})"));
    EXPECT_EQ(st.listen_port, 81);
    EXPECT_EQ(st.tls_enabled, 1);

    ASSERT_FALSE(parse(routes_doc(R"({"target_port":1},{"target_port":2},)"
                                  R"({"host":"broken","target_ip":"","target_port":0})")));
    EXPECT_STREQ(g_err, "route 2: target_port required");
    EXPECT_EQ(st.route_count, 2);
    EXPECT_EQ(st.routes[1].target_port, 2);
    EXPECT_STREQ(st.routes[2].host, "broken");  // the failed slot, partly filled
    EXPECT_STREQ(st.routes[2].target_ip, "127.0.0.1");
    EXPECT_EQ(st.routes[2].target_port, 0);
}

}  // namespace
