// TLS credentials shared by all connections, and the TLS session of one
// connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include <mbedtls/ssl.h>

#include "platform/deadline.h"
#include "platform/socket.h"
#include "tls/session_bio.h"

struct ClientConn;

// One connection's TLS session. After the handshake the connection thread
// reads it while the relay thread writes it; the lock serialises the library
// calls and is never held across a wait for the socket.
//
// The library keeps one output buffer per session and treats any call made
// while it holds unsent bytes as the retry of whatever put them there: a new
// write would return its full length and send nothing, an alert would be
// dropped. The flags below (changed only under the lock) tell whose bytes are
// queued, so that each call first finishes what is pending and no record is
// lost or sent twice.
struct TlsSession {
    mbedtls_ssl_context ssl;
    std::mutex lock;
    plat::Socket sock = plat::kNoSocket;
    // The connection's wake-up word: once set, every wait for the socket
    // gives up and the call fails.
    plat::Wake* woken = nullptr;
    // The time limit of the handshake or read under way, if any (null while
    // none runs); the receive callback holds to it too.
    const plat::WaitLimit* limit = nullptr;
    RecordRun records;           // what the receive callback has seen
    // With an idle limit: told of every byte the socket moves either way.
    std::atomic<long long>* moved_at = nullptr;
    // Sends that find no room are handed over here (plat::socket_send_handover),
    // from the library's own output buffer, which keeps those bytes until they
    // are reported sent.
    plat::SendSlot out_slot;
    bool out_dirty = false;      // bytes queued inside the library, not yet sent
    bool write_pending = false;  // the writer's own record is among them
    size_t pending_len = 0;      // plaintext length of that record
    bool initialised = false;    // ssl was initialised and must be freed
    bool handshake_done = false;
    bool dead = false;           // a fatal error: no further library call
    bool notify_sent = false;    // our close-notify is out: never a second one
};

// Loads the certificate chain and key named in the configuration into g.
// 0 on success; -1 with the message in g_err and nothing left loaded.
int tls_credentials_load(const char* cert_path, const char* key_path);
// Releases what tls_credentials_load set up; harmless when nothing is loaded.
// No session may be open.
void tls_credentials_free();

// Sets up the session on the shared configuration and completes the
// handshake on conn.sock. 0 on success, else the library's negative result
// (MBEDTLS_ERR_SSL_TIMEOUT once `limit` is up; null: no limit). Waking the
// connection ends the wait.
int tls_session_open(ClientConn& conn, const plat::WaitLimit* limit = nullptr);
// With `orderly`, sends a close-notify when the handshake had completed and
// none was sent yet (waiting at most 1 s for the socket); without, sends
// nothing, so the client can tell that its stream was cut. Then releases the
// session. No other thread may be using it. Safe whatever tls_session_open
// returned.
void tls_session_close(ClientConn& conn, bool orderly);

// The most plaintext one record carries on this session (16384 under TLS
// 1.2, 16383 under TLS 1.3, less with a negotiated maximum fragment length),
// at most `limit`. Writing in pieces of this size fills every record.
size_t tls_session_record_payload(TlsSession& s, size_t limit);

// Ends our direction of the session: one close-notify after every byte
// already queued, while the client may go on sending. Waits for the socket
// like a write. True when the close-notify was sent (now or before).
bool tls_session_end_output(TlsSession& s);

// Reads plaintext. > 0: bytes read (at most cap); 0: the client closed (end
// of stream or close-notify), the session failed or `limit` (as for
// tls_session_open) is up. Shutting the socket down ends the wait.
long tls_session_read(TlsSession& s, char* buf, size_t cap,
                      const plat::WaitLimit* limit = nullptr);
// Writes all len bytes, record by record. True when all were written. Waits
// while the client does not read, within `limit` (null: none); shutting the
// socket down ends the wait.
bool tls_session_write_all(TlsSession& s, const char* buf, size_t len,
                           const plat::WaitLimit* limit = nullptr);
