// Route selection as a pure function of the table, the host name and the
// target.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/route_select.h"

namespace {

struct R {
    const char* host;
    const char* prefix;
};

struct Case {
    const char* name;
    std::vector<R> table;
    const char* host;
    const char* target;
    int expected;
};

// Route holds atomics and cannot be copied, so tables are filled in place.
int select(const std::vector<R>& table, const char* host, const char* target) {
    Route routes[kMaxRoutes] = {};
    for (size_t i = 0; i < table.size(); ++i) {
        strcpy(routes[i].host, table[i].host);
        strcpy(routes[i].path_prefix, table[i].prefix);
    }
    return select_route(std::span<const Route>(routes, table.size()), host, target);
}

TEST(RouteSelect, Table) {
    const Case cases[] = {
        {"empty table", {}, "a", "/", -1},
        {"host ignores letter case", {{"A.Example", "/"}}, "a.example", "/x", 0},
        {"other host", {{"b.example", "/"}}, "a.example", "/x", -1},
        {"host must match whole", {{"a.example", "/"}}, "a.example.org", "/", -1},
        {"empty host serves any", {{"", "/"}}, "whatever", "/", 0},
        {"star serves any", {{"*", "/"}}, "whatever", "/", 0},
        {"no Host: empty route host", {{"", "/"}}, "", "/", 0},
        {"no Host: star", {{"*", "/"}}, "", "/", 0},
        {"no Host: named route", {{"a", "/"}}, "", "/", -1},
        {"prefix is case-sensitive", {{"", "/API"}}, "h", "/api", -1},
        {"/api serves /api", {{"", "/api"}}, "h", "/api", 0},
        {"/api serves /api/", {{"", "/api"}}, "h", "/api/", 0},
        {"/api serves /api/x", {{"", "/api"}}, "h", "/api/x", 0},
        {"/api serves /api?x=1", {{"", "/api"}}, "h", "/api?x=1", 0},
        {"/api does not serve /apix", {{"", "/api"}}, "h", "/apix", -1},
        {"/api does not serve /ap", {{"", "/api"}}, "h", "/ap", -1},
        {"/api/ serves /api/x", {{"", "/api/"}}, "h", "/api/x", 0},
        {"/api/ does not serve /api", {{"", "/api/"}}, "h", "/api", -1},
        {"/ serves every absolute path", {{"", "/"}}, "h", "/anything?q", 0},
        {"/ does not serve *", {{"", "/"}}, "h", "*", -1},
        {"one-byte prefix has no boundary", {{"", "x"}}, "h", "xyz", 0},
        {"longest prefix, short first", {{"", "/"}, {"", "/api"}}, "h", "/api/x", 1},
        {"longest prefix, long first", {{"", "/api"}, {"", "/"}}, "h", "/api/x", 0},
        {"longer prefix beats a named host", {{"a", "/"}, {"", "/api"}}, "a", "/api", 1},
        {"tie: named host beats earlier empty", {{"", "/"}, {"a.example", "/"}}, "a.example",
         "/", 1},
        {"tie: empty keeps other hosts", {{"", "/"}, {"a.example", "/"}}, "b.example", "/", 0},
        {"tie: star beats earlier empty", {{"", "/"}, {"*", "/"}}, "b", "/", 1},
        {"tie: named does not beat earlier star", {{"*", "/"}, {"a.example", "/"}},
         "a.example", "/", 0},
        {"tie: earlier named stays", {{"a", "/"}, {"A", "/"}}, "a", "/", 0},
        {"tie: earlier empty stays over later empty", {{"", "/"}, {"", "/"}}, "a", "/", 0},
        {"tie: later empty does not beat named", {{"a", "/"}, {"", "/"}}, "a", "/", 0},
        {"tie decided per length", {{"", "/a"}, {"x", "/"}, {"x", "/a"}}, "x", "/a", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(select(c.table, c.host, c.target), c.expected) << c.name;
    }
}

// The full table of 16 routes is searched to its last entry.
TEST(RouteSelect, LastOfSixteen) {
    Route routes[kMaxRoutes] = {};
    for (int i = 0; i < kMaxRoutes; ++i) {
        snprintf(routes[i].host, sizeof routes[i].host, "h%d", i);
        strcpy(routes[i].path_prefix, "/");
    }
    EXPECT_EQ(select_route(routes, "H15", "/"), 15);
    EXPECT_EQ(select_route(std::span<const Route>(routes, 15), "h15", "/"), -1);
}

}  // namespace
