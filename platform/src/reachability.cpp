#include "platform/reachability.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/runloop.h"

namespace platform {

namespace {

bool hasUpIPv4Interface()
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (const ifaddrs *a = list; a && !found; a = a->ifa_next) {
        found = a->ifa_addr && a->ifa_addr->sa_family == AF_INET && (a->ifa_flags & IFF_UP) &&
                (a->ifa_flags & IFF_RUNNING) && !(a->ifa_flags & IFF_LOOPBACK);
    }
    ::freeifaddrs(list);
    return found;
}

// A default IPv4 route that is up, on an interface other than loopback.
bool hasDefaultRoute()
{
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line); // column titles
    while (std::getline(routes, line)) {
        char interface[64] = {};
        unsigned long destination = 1;
        unsigned long gateway = 0;
        unsigned flags = 0;
        if (std::sscanf(line.c_str(), "%63s %lx %lx %x", interface, &destination, &gateway, &flags) == 4 &&
            destination == 0 && (flags & 0x1 /* RTF_UP */) && std::strcmp(interface, "lo") != 0) {
            return true;
        }
    }
    return false;
}

class LinuxReachabilityBackend final : public ReachabilityBackend {
public:
    ~LinuxReachabilityBackend() override { stop(); }

    unsigned currentFlags() override { return hasUpIPv4Interface() && hasDefaultRoute() ? kReachabilityReachable : 0u; }

    bool start(RunLoop &loop, Listener listener) override
    {
        stop();
        if (!listener) {
            return false;
        }
        mSocket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (mSocket < 0) {
            return false;
        }
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
        if (::bind(mSocket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            stop();
            return false;
        }
        mListener = std::move(listener);
        mFlags = currentFlags();
        mLoop = &loop;
        mWatch = loop.addWatch(mSocket, kFdRead, [this](int, unsigned) { onNotice(); });
        if (mWatch == 0) {
            stop();
            return false;
        }
        return true;
    }

    void stop() override
    {
        if (mLoop && mWatch != 0) {
            mLoop->removeWatch(mWatch);
        }
        mWatch = 0;
        mLoop = nullptr;
        if (mSocket >= 0) {
            ::close(mSocket);
            mSocket = -1;
        }
        mListener = nullptr;
    }

private:
    void onNotice()
    {
        // The messages only say that something changed: drain them and look.
        char buffer[8192];
        while (::recv(mSocket, buffer, sizeof buffer, 0) > 0) {}
        const unsigned flags = currentFlags();
        if (flags != mFlags) {
            mFlags = flags;
            if (mListener) {
                Listener listener = mListener; // the listener may stop us
                listener(flags);
            }
        }
    }

    int mSocket = -1;
    RunLoop *mLoop = nullptr;
    WatchId mWatch = 0;
    unsigned mFlags = 0;
    Listener mListener;
};

ReachabilityBackendFactory &factorySlot()
{
    static ReachabilityBackendFactory factory;
    return factory;
}

} // namespace

std::unique_ptr<ReachabilityBackend> makeLinuxReachabilityBackend()
{
    return std::make_unique<LinuxReachabilityBackend>();
}

void setReachabilityBackendFactory(ReachabilityBackendFactory factory)
{
    factorySlot() = std::move(factory);
}

std::unique_ptr<ReachabilityBackend> makeReachabilityBackend()
{
    if (const auto &factory = factorySlot()) {
        if (auto backend = factory()) {
            return backend;
        }
    }
    return makeLinuxReachabilityBackend();
}

} // namespace platform
