#include "ipconf/ipconf_rpc.hpp"

#include "ipconf/libipconf.hpp"
#include "lib/dorvik/rpc_server.hpp"
#include "lib/mirel/log.hpp"

#include <dirent.h>
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string_view>

namespace {

constexpr int max_descriptors = 1024;
constexpr uint32_t browse_signature = 0xb4d27370;
constexpr uint32_t log_settings =
    LOG_SETTING_ONE_LINE | LOG_SETTING_LEVEL_NAME | LOG_SETTING_CALLBACK | LOG_LEVEL_NOTICE;

RPCServer *server = nullptr;
int descriptors[max_descriptors];
int descriptor_count = 0;
int browse_socket = -1;

int add_rpc_sockets(select_set *set)
{
    if (server == nullptr)
        return -1;
    descriptor_count = RPCServer_GetAllIOSocket(server, descriptors, max_descriptors);
    if (descriptor_count == -1) {
        syslog(LOG_ERR, "Cannot get RPC server sockets");
        descriptor_count = 0;
        return -1;
    }
    for (int i = 0; i < descriptor_count; ++i)
        socket_add(descriptors[i], set);
    return 0;
}

void remove_rpc_sockets(select_set *set)
{
    for (int i = 0; i < descriptor_count; ++i)
        socket_remove(descriptors[i], set);
    descriptor_count = 0;
}

void redirect_libmirel_log()
{
    LogDesc desc;
    Log_Reset(&desc);
    desc.settings = log_settings;
    (void)Log_SetCallback(&desc, libmirel_log_callback, "[libmirel]");
    (void)Log_SetDefault(&desc);
}

// The numbers N of the "/tmp/orvane_rpc_N..." entries (a name beginning with
// the prefix and a decimal number, whatever follows); false when /tmp cannot
// be listed. Anyone may create names in /tmp: a number beyond what an int
// holds is ignored rather than overflowing.
bool server_numbers(std::set<int> &numbers)
{
    constexpr std::string_view prefix = "orvane_rpc_";
    DIR *dir = opendir("/tmp/");
    if (dir == nullptr)
        return false;
    while (const dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.data(), prefix.size()) != 0)
            continue;
        const char *digits = entry->d_name + prefix.size();
        char *end = nullptr;
        errno = 0;
        const long long number = std::strtoll(digits, &end, 10);
        if (end != digits && errno == 0 && number > 0 && number <= INT_MAX)
            numbers.insert(static_cast<int>(number));
    }
    closedir(dir);
    return true;
}

// One above the largest number in use; when that would not fit an int or is
// taken after all, the smallest number nobody uses.
int free_server_number(const std::set<int> &numbers)
{
    const int highest = numbers.empty() ? 0 : *numbers.rbegin();
    if (highest < INT_MAX)
        return highest + 1;
    int candidate = 1;
    for (int used : numbers) {
        if (used != candidate)
            break;
        ++candidate;
    }
    return candidate;
}

void _RPCBind__ipconf_browse(RPCCall *call, RPCImplementation implementation, RPCMsg *request, RPCMsg *reply)
{
    if (RPCMsg_GetSignature(request) != browse_signature) {
        call->status = RPC_STATUS_BAD_SIGNATURE;
        return;
    }
    int32_t timeout = RPCMsg_Get_Int32(call, request, "timeout@0");
    if (call->status != 0)
        return;
    Dictionary *dictionary = nullptr;
    reinterpret_cast<decltype(&RPCBind__ipconf_browse)>(implementation)(call->context, timeout, &dictionary);
    (void)RPCMsg_Set_Dictionary_ByRef(call, reply, "devices@1", dictionary);
}

} // namespace

extern "C" void libmirel_log_callback(const char *text, const char *context)
{
    syslog(LOG_INFO, "%s %s", context, text);
}

extern "C" void RPCBind__ipconf_browse(uint64_t, int32_t timeout, Dictionary **result)
{
    *result = Dictionary_CreateEx(0);
    ipconf_device *devices = ipconf_browse(browse_socket, timeout);
    if (devices == nullptr)
        return;
    char key[256];
    for (int i = 0; devices[i].ip != nullptr; ++i) {
        const ipconf_device &device = devices[i];
        const char *values[] = {device.hostname, device.ip, device.product_id, device.product_name};
        const char *formats[] = {"%.5d.hostname", "%.5d.ip", "%.5d.product-id", "%.5d.product-name"};
        for (int field = 0; field < 4; ++field) {
            std::snprintf(key, sizeof key, formats[field], i);
            (void)Dictionary_Set(*result, key, values[field] != nullptr ? values[field] : "");
        }
    }
    ipconf_free_device_list(devices);
}

int ipconf_rpc_open(int socket, select_set *registered)
{
    std::memset(descriptors, 0, sizeof descriptors);
    redirect_libmirel_log();
    (void)RPCServer_Init();

    std::set<int> numbers;
    try {
        if (!server_numbers(numbers)) {
            syslog(LOG_ERR, "Cannot open '/tmp/' directory");
            return -1;
        }
    } catch (const std::bad_alloc &) {
        syslog(LOG_ERR, "Cannot open RPC server");
        return -1;
    }
    // Another user may have made the chosen name between the listing and the
    // bind (the library binds only where nothing is, or its own stale
    // socket): the next free number is tried, a few times.
    for (int attempt = 0; attempt < 8 && server == nullptr; ++attempt) {
        const int number = free_server_number(numbers);
        char address[64];
        std::snprintf(address, sizeof address, "unix:/tmp/orvane_rpc_%d.sock", number);
        server = RPCServer_Open(address, 0, 0);
        if (server == nullptr && errno != EADDRINUSE)
            break;
        try {
            numbers.insert(number);
        } catch (const std::bad_alloc &) {
            break;
        }
    }
    if (server == nullptr) {
        syslog(LOG_ERR, "Cannot open RPC server");
        return -1;
    }
    (void)RPCServer_RegisterFunction(server, "ipconf_browse", _RPCBind__ipconf_browse,
                                     reinterpret_cast<RPCImplementation>(RPCBind__ipconf_browse));
    if (add_rpc_sockets(registered) == -1)
        return -1;
    browse_socket = socket;
    syslog(LOG_INFO, "RPC server up");
    return 0;
}

int ipconf_rpc_server(select_set *registered, select_set *ready)
{
    if (descriptor_count < 1)
        return 0;
    int found = -1;
    for (int i = 0; i < descriptor_count && found < 0; ++i) {
        int fd = descriptors[i];
        if (fd < 0 || fd >= FD_SETSIZE)
            continue; // never registered, so never ready
        if (FD_ISSET(fd, &ready->except)) {
            syslog(LOG_ERR, "error on RPC socket: %d", fd);
            // An exception stays until the byte behind it is read, which no
            // request handling here does: without dropping the connection
            // every later turn would end the same way. The listener is never
            // dropped, so the endpoint keeps serving.
            if (RPCServer_CloseConnection(server, fd) == 0) {
                remove_rpc_sockets(registered);
                (void)add_rpc_sockets(registered);
            }
            return -1;
        }
        if (FD_ISSET(fd, &ready->read))
            found = fd;
    }
    if (found < 0)
        return 0;
    int result = RPCServer_HandleRequest(server, 0);
    if (result < 0) {
        syslog(LOG_ERR, "RPC handle request failed: %d", result);
        return -1;
    }
    remove_rpc_sockets(registered);
    return add_rpc_sockets(registered) == -1 ? -1 : 0;
}

void ipconf_rpc_close(select_set *registered)
{
    RPCServer_Close(server);
    server = nullptr;
    RPCServer_Cleanup();
    remove_rpc_sockets(registered);
    syslog(LOG_INFO, "RPC server down");
}
