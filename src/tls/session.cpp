#include "net/client_conn.h"
#include "tls/tls_session.h"
int tls_session_open(ClientConn&) { return -1; }
void tls_session_close(ClientConn&) {}
long tls_session_read(TlsSession&, char*, size_t) { return 0; }
bool tls_session_write_all(TlsSession&, const char*, size_t) { return false; }
