// The system's settings of internet streams. They are process-wide: the net
// files of every system read them when they connect.
#include "file/aura_file_net.h"
#include "os/aura_os.h"
#include "system/aura_systemi.h"

#include <atomic>

namespace AURA {

AURA_RESULT SystemI::setNetworkProxyInternal(const char *proxy)
{
    return NetFile::setProxy(proxy);
}

AURA_RESULT SystemI::getNetworkProxyInternal(char *proxy, int proxylen)
{
    return NetFile::getProxy(proxy, proxylen);
}

AURA_RESULT SystemI::setNetworkTimeoutInternal(int timeout)
{
    if (timeout < 0) {
        return AURA_ERR_INVALID_PARAM;
    }
    std::atomic_ref<int>(AURA_Net_Timeout).store(timeout);
    return AURA_OK;
}

AURA_RESULT SystemI::getNetworkTimeoutInternal(int *timeout)
{
    if (!timeout) {
        return AURA_ERR_INVALID_PARAM;
    }
    *timeout = std::atomic_ref<int>(AURA_Net_Timeout).load();
    return AURA_OK;
}

} // namespace AURA
