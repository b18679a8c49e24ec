// Name resolution for the fuzz targets, in place of the C library's: the
// endpoint grammar resolves every host that is not a numeric address, and
// fuzzing must neither wait on the network nor depend on it. "localhost" is
// 127.0.0.1; every other name is unknown, at once.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

extern "C" int getaddrinfo(const char* node, const char* /*service*/, const addrinfo* hints,
                           addrinfo** result) {
    if (node == nullptr || std::strcmp(node, "localhost") != 0) return EAI_NONAME;
    if (hints != nullptr && hints->ai_family != AF_UNSPEC && hints->ai_family != AF_INET)
        return EAI_NONAME;
    auto* address = new sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* info = new addrinfo{};
    info->ai_family = AF_INET;
    info->ai_socktype = SOCK_STREAM;
    info->ai_protocol = IPPROTO_TCP;
    info->ai_addrlen = sizeof *address;
    info->ai_addr = reinterpret_cast<sockaddr*>(address);
    *result = info;
    return 0;
}

extern "C" void freeaddrinfo(addrinfo* info) noexcept {
    while (info != nullptr) {
        addrinfo* next = info->ai_next;
        delete reinterpret_cast<sockaddr_in*>(info->ai_addr);
        delete info;
        info = next;
    }
}
