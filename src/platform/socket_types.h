#pragma once
// The system's socket address types (sockaddr_storage, sockaddr_in, sockaddr_in6, socklen_t),
// inet_pton and inet_ntop, and the byte-order functions, from wherever the system keeps them.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#endif
