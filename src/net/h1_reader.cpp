#include "net/h1_reader.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "net/ascii.h"

namespace {

enum State : uint8_t {
    sBegin,        // before the start line (requests skip empty lines here)
    sBeginLF,      // after the CR of a leading empty line
    sMethod,
    sTarget,
    sVersion,      // "HTTP/1.x", the request line's last part or the status line's first
    sStatus,
    sReason,
    sStartLF,
    sLineBegin,    // a field line or the empty line that ends the head
    sName,
    sValue,
    sLineLF,
    sEndLF,
    sDone,         // the head ended a message without a body
    sLength,       // Content-Length bytes
    sChunkSize,
    sChunkBlank,   // blanks after the chunk size
    sChunkExt,
    sChunkSizeLF,
    sChunkData,
    sChunkDataCR,
    sChunkDataLF,
    sTrailerBegin,
    sTrailerLine,
    sTrailerLF,
    sTrailerEndLF,
    sUntilClose,
    sTunnel,
    sError,
};

enum Field : uint8_t { fOther, fContentLength, fTransferEncoding, fHost, fConnection, fUpgrade };

// Field names that matter, lower case, in Field order from fContentLength.
constexpr std::string_view kNames[] = {"content-length", "transfer-encoding", "host",
                                       "connection", "upgrade"};
constexpr uint8_t kAllNames = (1u << std::size(kNames)) - 1;

// The list elements each field looks for.
constexpr std::string_view kCodings[] = {"chunked"};
constexpr std::string_view kConnectionOptions[] = {"close", "keep-alive"};
constexpr std::string_view kProtocols[] = {"h2c"};
// Methods that change framing, compared case-sensitively as servers do.
constexpr std::string_view kMethods[] = {"HEAD", "CONNECT"};
constexpr std::string_view kVersion = "HTTP/1.";

// Bits of H1Reader::list while a list value is read.
constexpr uint8_t kListComma = 1u << 0;      // a ',' was seen
constexpr uint8_t kListLastMatch = 1u << 1;  // the last element so far named a candidate
constexpr uint8_t kListElements = 1u << 2;   // some element was not empty

// token_ws values inside a list element.
constexpr uint8_t kInElement = 0;
constexpr uint8_t kAfterBlanks = 1;  // only blanks or ',' may follow
constexpr uint8_t kInVersion = 2;    // after '/' in an Upgrade element: not compared

struct CharClass {
    bool tchar[256] = {};
    constexpr CharClass() {
        for (int c = '0'; c <= '9'; ++c) tchar[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) tchar[c] = tchar[c - 'a' + 'A'] = true;
        for (char c : std::string_view("!#$%&'*+-.^_`|~")) tchar[static_cast<unsigned char>(c)] = true;
    }
};
constexpr CharClass kClass{};

bool is_tchar(unsigned char c) { return kClass.tchar[c]; }
bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }
// field-vchar, SP or HTAB (RFC 9110 5.5): any byte but the controls.
bool is_value_byte(unsigned char c) { return c >= 0x20 ? c != 0x7f : c == '\t'; }
int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Narrows `matches` to the candidates whose byte at `pos` is c.
template <size_t N>
uint8_t narrow(const std::string_view (&names)[N], uint8_t matches, uint8_t pos, char c) {
    for (size_t i = 0; i < N; ++i) {
        if ((matches & (1u << i)) && (pos >= names[i].size() || names[i][pos] != c)) {
            matches = static_cast<uint8_t>(matches & ~(1u << i));
        }
    }
    return matches;
}

// The candidate that matched all `len` bytes, or -1.
template <size_t N>
int matched(const std::string_view (&names)[N], uint8_t matches, uint8_t len) {
    for (size_t i = 0; i < N; ++i) {
        if ((matches & (1u << i)) && names[i].size() == len) return static_cast<int>(i);
    }
    return -1;
}

uint8_t saturating_inc(uint8_t v) { return v == UINT8_MAX ? v : static_cast<uint8_t>(v + 1); }

uint32_t head_max(const H1Reader& r) {
    return r.kind == H1Kind::kRequest ? kRequestHeadMax : kResponseHeadMax;
}

bool fail(H1Reader& r) {
    r.state = sError;
    return false;
}

H1Event refuse(H1Reader& r) {
    fail(r);
    return H1Event::kError;
}

void begin_message(H1Reader& r) {
    r.flags = 0;
    r.status = 0;
    r.part = 0;
    r.token = 0;
    r.matches = 0;
    r.left = 0;
}

void begin_element(H1Reader& r) {
    r.token = 0;
    r.token_ws = kInElement;
    r.matches = UINT8_MAX;
}

void begin_chunk_line(H1Reader& r) {
    r.state = sChunkSize;
    r.count = 0;
    r.part = 0;
    r.left = 0;
}

// --- list values: Transfer-Encoding, Connection, Upgrade -----------------

int element_match(const H1Reader& r) {
    switch (r.field) {
    case fTransferEncoding: return matched(kCodings, r.matches, r.token);
    case fConnection: return matched(kConnectionOptions, r.matches, r.token);
    case fUpgrade: return matched(kProtocols, r.matches, r.token);
    default: return -1;
    }
}

void end_element(H1Reader& r) {
    if (r.token == 0) return;  // empty elements do not count (RFC 9110 5.6.1)
    int m = element_match(r);
    r.list = static_cast<uint8_t>((r.list | kListElements) & ~kListLastMatch);
    if (m >= 0) r.list |= kListLastMatch;
    if (r.field == fConnection && m == 0) r.flags |= kH1ConnClose;
    if (r.field == fConnection && m == 1) r.flags |= kH1ConnKeepAlive;
    if (r.field == fUpgrade && m == 0) r.flags |= kH1UpgradeH2c;
}

void list_byte(H1Reader& r, unsigned char c) {
    if (c == ',') {
        end_element(r);
        r.list |= kListComma;
        begin_element(r);
        return;
    }
    if (is_blank(c)) {
        if (r.token > 0 && r.token_ws == kInElement) r.token_ws = kAfterBlanks;
        return;
    }
    if (r.token_ws == kInVersion) return;
    if (r.field == fUpgrade && c == '/' && r.token > 0 && r.token_ws == kInElement) {
        r.token_ws = kInVersion;
        return;
    }
    // A byte after blanks, or one that no token holds (parameters, quotes),
    // makes the element one that names nothing we look for.
    if (r.token_ws == kAfterBlanks || !is_tchar(c)) r.matches = 0;
    char lc = ascii_lower(static_cast<char>(c));
    switch (r.field) {
    case fTransferEncoding: r.matches = narrow(kCodings, r.matches, r.token, lc); break;
    case fConnection: r.matches = narrow(kConnectionOptions, r.matches, r.token, lc); break;
    default: r.matches = narrow(kProtocols, r.matches, r.token, lc); break;
    }
    r.token = saturating_inc(r.token);
}

// --- Content-Length: digits only, one line, no list (RFC 9110 8.6) -------

bool length_byte(H1Reader& r, unsigned char c) {
    if (is_blank(c)) {
        if (r.part == 1) r.part = 2;
        return true;
    }
    if (c < '0' || c > '9' || r.part == 2) return fail(r);
    uint64_t d = c - '0';
    if (r.left > (UINT64_MAX - d) / 10) return fail(r);
    r.left = r.left * 10 + d;
    r.part = 1;
    return true;
}

// --- the head --------------------------------------------------------------

bool begin_value(H1Reader& r) {
    int named = matched(kNames, r.matches, r.token);
    r.field = static_cast<uint8_t>(named < 0 ? fOther : named + fContentLength);
    const bool request = r.kind == H1Kind::kRequest;
    uint32_t seen = 0;
    switch (r.field) {
    case fContentLength: seen = kH1ContentLength; break;
    case fTransferEncoding: seen = kH1TransferEncoding; break;
    case fHost: seen = request ? uint32_t{kH1Host} : 0; break;
    case fUpgrade: seen = request ? uint32_t{kH1Upgrade} : 0; break;
    default: break;
    }
    // A second line of these is read two ways by two parsers. Responses may
    // list their codings over several lines (RFC 9110 5.3).
    const bool repeatable = !request && r.field == fTransferEncoding;
    if ((r.flags & seen) && !repeatable) return fail(r);
    r.flags |= seen;
    r.part = 0;
    r.list = 0;
    begin_element(r);
    r.state = sValue;
    return true;
}

bool end_value(H1Reader& r) {
    switch (r.field) {
    case fContentLength:
        if (r.part == 0) return fail(r);  // no digits
        break;
    case fTransferEncoding:
        end_element(r);
        if (r.kind == H1Kind::kRequest) {
            // Only the whole value "chunked" (RFC 9112 6.1: a server must not
            // guess at codings it does not know).
            if ((r.list & kListComma) || !(r.list & kListLastMatch)) return fail(r);
            r.flags |= kH1Chunked;
        } else if (r.list & kListElements) {
            // What the last coding is decides (RFC 9112 6.3).
            if (r.list & kListLastMatch) r.flags |= kH1Chunked;
            else r.flags &= ~kH1Chunked;
        }
        break;
    case fConnection:
    case fUpgrade:
        end_element(r);
        break;
    default: break;
    }
    r.state = sLineLF;
    return true;
}

bool value_byte(H1Reader& r, unsigned char c) {
    if (c == '\r') return end_value(r);
    if (!is_value_byte(c)) return fail(r);
    switch (r.field) {
    case fContentLength: return length_byte(r, c);
    case fTransferEncoding:
    case fConnection:
    case fUpgrade: list_byte(r, c); return true;
    default: return true;
    }
}

// The empty line: what the head says decides where the body ends.
bool end_request_head(H1Reader& r) {
    if (r.flags & kH1TransferEncoding) {
        // RFC 9112 6.1: chunked is HTTP/1.1's; with a Content-Length too the
        // message could be read two ways (RFC 9112 6.3, 11.2).
        if ((r.flags & (kH1Http10 | kH1ContentLength)) || !(r.flags & kH1Chunked)) return fail(r);
        begin_chunk_line(r);
    } else if ((r.flags & kH1ContentLength) && r.left > 0) {
        r.state = sLength;
    } else {
        r.flags |= kH1NoBody;
        r.state = sDone;
    }
    return true;
}

bool end_response_head(H1Reader& r) {
    if ((r.flags & kH1TransferEncoding) && (r.flags & kH1ContentLength)) return fail(r);
    if (r.status == 101 && !(r.expect & kH1ExpectUpgrade)) return fail(r);
    const bool no_body = r.status < 200 || r.status == 204 || r.status == 304 ||
                         (r.expect & kH1ExpectNoBody);
    if (no_body) {
        r.flags |= kH1NoBody;
        r.state = sDone;
    } else if (r.flags & kH1Chunked) {
        begin_chunk_line(r);
    } else if (r.flags & kH1TransferEncoding) {
        r.flags |= kH1UntilClose;  // a coding we cannot delimit: until the close
        r.state = sUntilClose;
    } else if (r.flags & kH1ContentLength) {
        r.state = r.left > 0 ? sLength : sDone;
    } else {
        r.flags |= kH1UntilClose;
        r.state = sUntilClose;
    }
    return true;
}

bool method_byte(H1Reader& r, unsigned char c) {
    if (c == ' ') {
        int m = matched(kMethods, r.matches, r.token);
        if (m == 0) r.flags |= kH1MethodHead;
        if (m == 1) r.flags |= kH1MethodConnect;
        r.part = 0;
        r.state = sTarget;
        return true;
    }
    if (!is_tchar(c) || r.token >= 15) return fail(r);
    r.matches = narrow(kMethods, r.matches, r.token, static_cast<char>(c));
    ++r.token;
    return true;
}

bool version_byte(H1Reader& r, unsigned char c) {
    if (r.token < kVersion.size()) {
        if (c != static_cast<unsigned char>(kVersion[r.token])) return fail(r);
        ++r.token;
        return true;
    }
    if (r.token == kVersion.size()) {
        if (c != '0' && c != '1') return fail(r);
        if (c == '0') r.flags |= kH1Http10;
        ++r.token;
        return true;
    }
    if (r.kind == H1Kind::kRequest) {
        if (c != '\r') return fail(r);
        r.state = sStartLF;
    } else {
        if (c != ' ') return fail(r);
        r.part = 0;
        r.state = sStatus;
    }
    return true;
}

bool status_byte(H1Reader& r, unsigned char c) {
    if (r.part < 3) {
        if (c < '0' || c > '9') return fail(r);
        r.status = static_cast<uint16_t>(r.status * 10 + (c - '0'));
        ++r.part;
        return r.part < 3 || r.status >= 100 || fail(r);
    }
    if (c == '\r') r.state = sStartLF;
    else if (c == ' ') r.state = sReason;
    else return fail(r);
    return true;
}

bool begin_byte(H1Reader& r, unsigned char c) {
    if (r.count == 1) begin_message(r);
    if (r.kind == H1Kind::kResponse) {
        r.token = 0;
        r.state = sVersion;
        return version_byte(r, c);
    }
    // RFC 9112 2.2: empty lines before the request line may be skipped.
    if (c == '\r') {
        r.state = sBeginLF;
        return true;
    }
    if (!is_tchar(c)) return fail(r);
    r.token = 0;
    r.matches = UINT8_MAX;
    r.state = sMethod;
    return method_byte(r, c);
}

// One byte of the head. kHead after its last byte, kError when c is refused.
H1Event head_byte(H1Reader& r, unsigned char c) {
    if (++r.count > head_max(r)) return refuse(r);
    bool ok = true;
    switch (r.state) {
    case sBegin: ok = begin_byte(r, c); break;
    case sBeginLF: ok = c == '\n' ? (r.state = sBegin, true) : fail(r); break;
    case sMethod: ok = method_byte(r, c); break;
    case sTarget:
        // Any visible byte; a control, DEL or a second blank is no target.
        if (c == ' ' && r.part > 0) {
            r.token = 0;
            r.state = sVersion;
        } else if (c > 0x20 && c != 0x7f) {
            r.part = 1;
        } else {
            ok = fail(r);
        }
        break;
    case sVersion: ok = version_byte(r, c); break;
    case sStatus: ok = status_byte(r, c); break;
    case sReason:
        if (c == '\r') r.state = sStartLF;
        else if (!is_value_byte(c)) ok = fail(r);
        break;
    case sStartLF:
    case sLineLF: ok = c == '\n' ? (r.state = sLineBegin, true) : fail(r); break;
    case sLineBegin:
        // A blank here would fold the line into the one before (RFC 9112 5.2).
        if (c == '\r') {
            r.state = sEndLF;
        } else if (is_tchar(c)) {
            r.token = 0;
            r.matches = kAllNames;
            r.state = sName;
            r.matches = narrow(kNames, r.matches, r.token, ascii_lower(static_cast<char>(c)));
            r.token = 1;
        } else {
            ok = fail(r);
        }
        break;
    case sName:
        // RFC 9112 5.1: no blank between the name and its colon.
        if (c == ':') {
            ok = begin_value(r);
        } else if (is_tchar(c)) {
            r.matches = narrow(kNames, r.matches, r.token, ascii_lower(static_cast<char>(c)));
            r.token = saturating_inc(r.token);
        } else {
            ok = fail(r);
        }
        break;
    case sValue: ok = value_byte(r, c); break;
    case sEndLF:
        if (c != '\n') return refuse(r);
        ok = r.kind == H1Kind::kRequest ? end_request_head(r) : end_response_head(r);
        return ok ? H1Event::kHead : H1Event::kError;
    default: ok = fail(r); break;
    }
    return ok ? H1Event::kMore : H1Event::kError;
}

// --- the body --------------------------------------------------------------

bool chunk_size_byte(H1Reader& r, unsigned char c) {
    if (++r.count > kChunkLineMax) return fail(r);
    int v = hex_value(c);
    switch (r.state) {
    case sChunkSize:
        if (v >= 0) {
            if (r.part >= kChunkDigitsMax) return fail(r);
            r.left = r.left * 16 + static_cast<uint64_t>(v);
            ++r.part;
            return true;
        }
        if (r.part == 0) return fail(r);
        if (is_blank(c)) r.state = sChunkBlank;
        else if (c == ';') r.state = sChunkExt;
        else if (c == '\r') r.state = sChunkSizeLF;
        else return fail(r);
        return true;
    case sChunkBlank:
        if (c == ';') r.state = sChunkExt;
        else if (c == '\r') r.state = sChunkSizeLF;
        else if (!is_blank(c)) return fail(r);
        return true;
    default:  // sChunkExt: anything but the line's end and NUL
        if (c == '\r') r.state = sChunkSizeLF;
        else if (c == '\n' || c == '\0') return fail(r);
        return true;
    }
}

// One byte of the chunked framing outside the data. kMessage after the last.
H1Event chunk_byte(H1Reader& r, unsigned char c) {
    switch (r.state) {
    case sChunkSize:
    case sChunkBlank:
    case sChunkExt: return chunk_size_byte(r, c) ? H1Event::kMore : H1Event::kError;
    case sChunkSizeLF:
        if (c != '\n') break;
        if (r.left == 0) {
            r.count = 0;
            r.state = sTrailerBegin;
        } else {
            r.state = sChunkData;
        }
        return H1Event::kMore;
    case sChunkDataCR:
        if (c != '\r') break;
        r.state = sChunkDataLF;
        return H1Event::kMore;
    case sChunkDataLF:
        if (c != '\n') break;
        begin_chunk_line(r);
        return H1Event::kMore;
    default: break;
    }
    return refuse(r);
}

// Trailer fields pass as they are; only their line ends and size are held
// to the head's rules, so that the message ends where every reader sees it.
H1Event trailer_byte(H1Reader& r, unsigned char c) {
    if (++r.count > head_max(r)) return refuse(r);
    switch (r.state) {
    case sTrailerBegin:
        if (c == '\r') r.state = sTrailerEndLF;
        else if (is_blank(c) || c == '\n' || c == '\0') return refuse(r);
        else r.state = sTrailerLine;
        return H1Event::kMore;
    case sTrailerLine:
        if (c == '\r') r.state = sTrailerLF;
        else if (c == '\n' || c == '\0') return refuse(r);
        return H1Event::kMore;
    case sTrailerLF:
        if (c != '\n') return refuse(r);
        r.state = sTrailerBegin;
        return H1Event::kMore;
    default:  // sTrailerEndLF
        if (c != '\n') return refuse(r);
        r.state = sBegin;
        r.count = 0;
        return H1Event::kMessage;
    }
}

bool in_head(uint8_t state) { return state <= sEndLF; }

// The length of a run of head bytes at p that change nothing but the head's
// size: the rest of a target, a reason phrase, a name that matches no field
// that matters, or a value of such a field. Read in one go, most of a head
// costs a table look-up a byte.
size_t plain_run(const H1Reader& r, const unsigned char* p, size_t n) {
    size_t i = 0;
    switch (r.state) {
    case sTarget:
        if (r.part == 0) return 0;  // the first byte of the target is stepped
        while (i < n && p[i] > 0x20 && p[i] != 0x7f) ++i;
        return i;
    case sReason:
        while (i < n && p[i] != '\r' && is_value_byte(p[i])) ++i;
        return i;
    case sName:
        if (r.matches != 0) return 0;
        while (i < n && is_tchar(p[i])) ++i;
        return i;
    case sValue:
        if (r.field != fOther && r.field != fHost) return 0;
        while (i < n && p[i] != '\r' && is_value_byte(p[i])) ++i;
        return i;
    default: return 0;
    }
}
bool in_chunk_framing(uint8_t state) {
    return (state >= sChunkSize && state <= sChunkSizeLF) || state == sChunkDataCR ||
           state == sChunkDataLF;
}

// Bytes taken by a state that counts them through; sets `ended` when the
// message ends with them.
size_t take_counted(H1Reader& r, size_t n, bool& ended) {
    if (r.state == sUntilClose || r.state == sTunnel) return n;
    size_t take = static_cast<size_t>(std::min<uint64_t>(r.left, n));
    r.left -= take;
    if (r.left == 0) {
        if (r.state == sLength) {
            r.state = sBegin;
            r.count = 0;
            ended = true;
        } else {
            r.state = sChunkDataCR;
        }
    }
    return take;
}

}  // namespace

H1Reader h1_reader(H1Kind kind) {
    H1Reader r{};
    r.kind = kind;
    r.state = sBegin;
    return r;
}

bool h1_between(const H1Reader& r) { return r.state == sBegin && r.count == 0; }

bool h1_tunnel(const H1Reader& r) { return r.state == sTunnel; }

void h1_expect_response(H1Reader& r, uint8_t expect) { r.expect = expect; }

H1Event h1_close(H1Reader& r) {
    if (r.state == sUntilClose || r.state == sTunnel) return H1Event::kMessage;
    if (h1_between(r)) return H1Event::kMore;
    r.state = sError;
    return H1Event::kError;
}

H1Event h1_read(H1Reader& r, const char* p, size_t n, size_t& used) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    size_t i = 0;
    H1Event ev = H1Event::kMore;
    while (ev == H1Event::kMore) {
        if (r.state == sError) {
            ev = H1Event::kError;
            break;
        }
        if (r.state == sDone) {
            // A 101 hands the rest of the stream to the tunnel; an interim
            // response leaves the same request waiting for its final one.
            r.state = (r.kind == H1Kind::kResponse && r.status == 101) ? sTunnel : sBegin;
            r.count = 0;
            ev = H1Event::kMessage;
            break;
        }
        if (i == n) break;
        const uint8_t s = r.state;
        if (s == sLength || s == sChunkData || s == sUntilClose || s == sTunnel) {
            bool ended = false;
            i += take_counted(r, n - i, ended);
            if (ended) ev = H1Event::kMessage;
            continue;
        }
        if (in_head(s)) {
            size_t run = std::min<size_t>(plain_run(r, bytes + i, n - i), head_max(r) - r.count);
            if (run > 0) {
                r.count += static_cast<uint32_t>(run);
                i += run;
                continue;
            }
            ev = head_byte(r, bytes[i]);
        } else if (in_chunk_framing(s)) {
            ev = chunk_byte(r, bytes[i]);
        } else {
            ev = trailer_byte(r, bytes[i]);
        }
        if (ev != H1Event::kError) ++i;
    }
    used = i;
    return ev;
}
