#include "velkor_proxy.h"
#include <cstdio>
int main() { std::printf("%s\n", proxy_version()); return 0; }
