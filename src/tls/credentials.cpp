#include "state.h"
#include "tls/tls_session.h"
int tls_credentials_load(const char*, const char*) { set_error("tls not built"); return -1; }
void tls_credentials_free() {}
