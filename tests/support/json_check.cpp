#include "support/json_check.h"

namespace jsoncheck {
namespace {

// A recursive-descent reader that only answers "is this well-formed".
class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    bool document() {
        skip_space();
        if (!value(0)) return false;
        skip_space();
        return i_ == s_.size();
    }

private:
    static constexpr int kMaxDepth = 64;

    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[i_]; }

    void skip_space() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }

    bool take(char c) {
        if (at_end() || s_[i_] != c) return false;
        ++i_;
        return true;
    }

    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }

    static bool is_digit(char c) { return c >= '0' && c <= '9'; }
    static bool is_hex(char c) {
        return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    bool value(int depth) {
        if (depth > kMaxDepth) return false;
        switch (peek()) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    bool object(int depth) {
        take('{');
        skip_space();
        if (take('}')) return true;
        for (;;) {
            skip_space();
            if (!string()) return false;
            skip_space();
            if (!take(':')) return false;
            skip_space();
            if (!value(depth + 1)) return false;
            skip_space();
            if (take('}')) return true;
            if (!take(',')) return false;
        }
    }

    bool array(int depth) {
        take('[');
        skip_space();
        if (take(']')) return true;
        for (;;) {
            skip_space();
            if (!value(depth + 1)) return false;
            skip_space();
            if (take(']')) return true;
            if (!take(',')) return false;
        }
    }

    bool string() {
        if (!take('"')) return false;
        while (!at_end()) {
            auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (at_end()) return false;
            char e = s_[i_++];
            if (e == 'u') {
                for (int k = 0; k < 4; ++k) {
                    if (at_end() || !is_hex(s_[i_++])) return false;
                }
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }

    bool digits() {
        size_t start = i_;
        while (!at_end() && is_digit(s_[i_])) ++i_;
        return i_ > start;
    }

    bool number() {
        take('-');
        if (take('0')) {
            if (is_digit(peek())) return false;
        } else if (!digits()) {
            return false;
        }
        if (take('.') && !digits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        return true;
    }

    std::string_view s_;
    size_t i_ = 0;
};

}  // namespace

bool is_valid(std::string_view text) { return Reader(text).document(); }

}  // namespace jsoncheck
