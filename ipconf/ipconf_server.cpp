#include "ipconf/ipconf_server.hpp"

#include "ipconf/auth.hpp"
#include "ipconf/auth_msg.hpp"
#include "ipconf/info_reply.hpp"
#include "ipconf/ipconf_backend.hpp"
#include "ipconf/ipconf_msg.hpp"
#include "ipconf/ipconf_rpc.hpp"
#include "net/address.hpp"
#include "net/ip.hpp"
#include "platform/cendrix_comm.hpp"
#include "platform/product_info.hpp"
#include "util/owned.hpp"
#include "util/tlv_ez.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <new>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr size_t DATA_SIZE = 4096;
// Datagrams read at once: under a flood one wake-up and one call serve many.
constexpr unsigned BATCH = 16;
constexpr int COOKED = 1;

// Replies that devices broadcast; the server reads them on its own socket too.
constexpr char tolvane_prefix[] = "TOLVANE";

// Error texts sent to a configurator.
constexpr const char *cannot_be_configured = "cannot be configured";
constexpr const char *no_challenge = "no challenge requested, cannot authenticate";
constexpr const char *parsing_error = "configuration message parsing error";
constexpr const char *invalid_message = "invalid configuration message";
constexpr const char *authentication_error = "authentication error: invalid password or user name";
constexpr const char *in_progress = "a configuration request is already in progress";
constexpr const char *no_parameters = "no configuration parameters";
constexpr const char *cannot_set_hostname = "cannot set hostname";
constexpr const char *cannot_set_interface = "cannot set interface configuration";
constexpr const char *timeout_error = "timeout: the new configuration is not set";

// Configurator address -> the challenge it was sent. Nothing bounds how
// many addresses ask, so every lookup is by hash, never a walk.
using connection_map = std::unordered_map<std::string, uint32_t>;

int has_ip = 1;
int can_set_conf = 1;
int ipconf_socket = -1;
int ipconf_fallback_socket = -1;
std::unique_ptr<connection_map> connections;
sigset_t signal_set;
// The mask while the loop waits: the one outside the wait, SIGHUP and SIGALRM
// taken out.
sigset_t wait_mask;
struct sigaction sighup_act;
struct sigaction sigalrm_act;
uint8_t password_hash[SHA1_DIGEST_SIZE];

using message_ptr = malloc_ptr<uint8_t>;

// ---- connections -------------------------------------------------------------

// Drops the address's challenge, if any.
void connection_remove(const char *address)
{
    try {
        connections->erase(address);
    } catch (const std::bad_alloc &) {
        // Only the key's copy can fail; the address then stays until its CONF.
    }
}

// Uses up the challenge a CONF answered, whatever the outcome.
struct connection_consumer {
    const char *address;
    ~connection_consumer() { connection_remove(address); }
};

// ---- replies -----------------------------------------------------------------

int error_send(const char *text, const char *address)
{
    message_ptr message(ipconf_msg_build_error(product_info_get_puid(), address, text));
    if (!message) {
        syslog(LOG_ERR, "cannot create error message");
        return -1;
    }
    const int result = ipconf_send(message.get(), tlv_get_size(message.get()));
    if (result == 0)
        syslog(LOG_INFO, "sent ERROR message");
    else
        syslog(LOG_ERR, "cannot send error message");
    return result;
}

// 0 only when the pending request is applied and OK went out (it is then
// cleared); otherwise non-zero and the request stays pending.
int reply_if_conf_applied()
{
    if (ipconf_is_pending_conf_applied() == 0)
        return -1;
    message_ptr message(ipconf_msg_build_ok(product_info_get_puid(), ipconf_get_configurator_address()));
    if (!message) {
        syslog(LOG_ERR, "cannot create OK message");
        return -1;
    }
    const int result = ipconf_send(message.get(), tlv_get_size(message.get()));
    if (result == 0) {
        syslog(LOG_INFO, "sent OK message");
        ipconf_clear_pending_conf();
    } else {
        syslog(LOG_ERR, "cannot send OK message");
    }
    return result;
}

// ---- signals -----------------------------------------------------------------

// Both handlers run only while the main loop waits or at the delivery point of
// ipconf_server, with both signals blocked, so they may do real work.
void on_sighup(int, siginfo_t *, void *)
{
    const int saved_errno = errno;
    syslog(LOG_INFO, "received SIGHUP");
    if (ipconf_socket >= 0) {
        (void)broadcast_info();
        if (ipconf_has_pending_conf())
            (void)reply_if_conf_applied();
    }
    errno = saved_errno;
}

void on_sigalrm(int, siginfo_t *, void *)
{
    const int saved_errno = errno;
    syslog(LOG_INFO, "received SIGALRM");
    if (ipconf_has_pending_conf()) {
        if (reply_if_conf_applied() == 0) {
            (void)broadcast_info();
        } else {
            (void)error_send(timeout_error, ipconf_get_configurator_address());
            ipconf_clear_pending_conf();
        }
    }
    errno = saved_errno;
}

int install(int signal_number, struct sigaction *action, void (*handler)(int, siginfo_t *, void *))
{
    std::memset(action, 0, sizeof *action);
    action->sa_sigaction = handler;
    action->sa_flags = SA_SIGINFO;
    action->sa_mask = signal_set;
    return sigaction(signal_number, action, nullptr);
}

// ---- requests ----------------------------------------------------------------

// A request for this device that it may act on: logged as `received`;
// one for another PUID is ignored, and a device that cannot be configured
// says so.
bool request_taken(uint8_t *message, size_t size, const char *sender, const char *received)
{
    if (ipconf_check_puid(message, size) != 0)
        return false;
    syslog(LOG_INFO, "%s", received);
    if (can_set_conf == 0) {
        (void)error_send(cannot_be_configured, sender);
        return false;
    }
    return true;
}

void handle_challenge_request(uint8_t *message, size_t size, const char *sender)
{
    if (!request_taken(message, size, sender, "Received CHALLENGE REQUEST"))
        return;
    connection_remove(sender);
    uint32_t *challenge_of_sender = nullptr;
    try {
        challenge_of_sender = &(*connections)[sender];
    } catch (const std::bad_alloc &) {
        std::perror("malloc failed");
        syslog(LOG_ERR, "cannot create new ipconf connection");
        return;
    }
    const uint32_t challenge_value = get_random_challenge();
    if (challenge_value == 0) {
        syslog(LOG_ERR, "cannot get a random challenge");
        connection_remove(sender);
        return;
    }
    *challenge_of_sender = challenge_value;
    // The challenge travels as its bytes in memory order, the same bytes the
    // password check hashes, so no byte order needs agreeing on.
    message_ptr challenge(auth_msg_build_challenge(reinterpret_cast<const uint8_t *>(&challenge_value),
                                                   sizeof challenge_value, product_info_get_puid(), sender));
    if (!challenge) {
        syslog(LOG_ERR, "cannot build a challenge message");
        connection_remove(sender);
        return;
    }
    if (ipconf_send(challenge.get(), tlv_get_size(challenge.get())) != 0)
        connection_remove(sender);
}

void handle_conf(uint8_t *message, size_t size, const char *sender)
{
    if (!request_taken(message, size, sender, "Received CONF"))
        return;
    uint32_t challenge = 0;
    try {
        const auto found = connections->find(sender);
        if (found == connections->end()) {
            (void)error_send(no_challenge, sender);
            return;
        }
        challenge = found->second;
    } catch (const std::bad_alloc &) {
        return;
    }
    connection_consumer consume{sender};

    uint8_t *cursor = message;
    size_t avail = size;
    conf_auth auth = {};
    char *host_name = nullptr;
    if (ipconf_msg_parse_conf(&cursor, &avail, &auth, &host_name) != 0) {
        (void)error_send(parsing_error, sender);
        return;
    }
    if (auth.user == nullptr || auth.password == nullptr) {
        (void)error_send(invalid_message, sender);
        return;
    }
    sleep(1);
    if (cendrix_get_password_sha1(auth.user, password_hash) != 0 ||
        check_password(reinterpret_cast<const uint8_t *>(&challenge), sizeof challenge, password_hash, auth.password) !=
            0) {
        (void)error_send(authentication_error, sender);
        return;
    }
    if (ipconf_has_pending_conf()) {
        (void)error_send(in_progress, sender);
        return;
    }
    // An empty host name asks for nothing, as in the pending request.
    const bool has_host_name = host_name != nullptr && host_name[0] != '\0';
    if (!has_host_name && avail == 0) {
        (void)error_send(no_parameters, sender);
        return;
    }
    // Values no device can take are refused before the service sees them,
    // with the answer their setting would have had; only a sender who has
    // logged in learns which values pass.
    if (has_host_name && !ipconf_host_name_valid(host_name)) {
        (void)error_send(cannot_set_hostname, sender);
        return;
    }
    if (!ipconf_interfaces_valid(cursor, avail)) {
        (void)error_send(cannot_set_interface, sender);
        return;
    }
    if (ipconf_set_pending_conf(message, size, sender) != 0)
        return;
    if (reply_if_conf_applied() == 0)
        return;
    if (has_host_name && product_info_set_host_name(host_name) != 0) {
        (void)error_send(cannot_set_hostname, sender);
        ipconf_clear_pending_conf();
        return;
    }
    if (avail != 0 && ipconf_set_interfaces(cursor, avail) != 0) {
        (void)error_send(cannot_set_interface, sender);
        ipconf_clear_pending_conf();
    }
}

// ---- receive path ------------------------------------------------------------

// The envelope type; a message shorter than a header is read as if padded
// with zero bytes.
uint32_t envelope_type(const uint8_t *message, size_t size)
{
    uint8_t header[TLV_HEADER_SIZE] = {};
    std::memcpy(header, message, std::min<size_t>(size, TLV_HEADER_SIZE));
    return tlv_get_envelope_type(header);
}

// The envelope's declared size capped at what was received.
size_t message_size(const uint8_t *message, size_t size)
{
    if (size < TLV_HEADER_SIZE)
        return size;
    return std::min<size_t>(size, tlv_get_size(message));
}

void dispatch(uint8_t *message, size_t size, const char *sender)
{
    const uint32_t type = envelope_type(message, size);
    const size_t capped = message_size(message, size);
    switch (type) {
    case "LOOK"_tlv:
        // Absorbed by the next INFO when the budget is spent: a receive and
        // nothing else.
        if (info_reply_answer_now())
            (void)broadcast_info();
        return;
    case "CHRQ"_tlv:
        handle_challenge_request(message, capped, sender);
        return;
    case "CONF"_tlv:
        handle_conf(message, capped, sender);
        return;
    case "CHAL"_tlv:
    case "INFO"_tlv:
    case "OK"_tlv:
    case "ERR"_tlv:
        return;
    default:
        if (size >= sizeof tolvane_prefix - 1 && std::memcmp(message, tolvane_prefix, sizeof tolvane_prefix - 1) == 0)
            return;
        syslog(LOG_WARNING, "unknown request type: %u", type);
    }
}

// One byte beyond the largest datagram taken, for the terminator.
uint8_t buffers[BATCH][DATA_SIZE + 1];
datagram_slot slots[BATCH];

// Touched once at open, so that a flood, which fills more of them, does not
// make the daemon look as if it grew.
void prepare_slots()
{
    std::memset(buffers, 0, sizeof buffers);
    for (unsigned i = 0; i < BATCH; ++i) {
        slots[i] = {};
        slots[i].buffer = buffers[i];
        slots[i].size = DATA_SIZE;
    }
}

} // namespace

int ipconf_open(const char *interface, select_set *registered)
{
    const uint32_t mode = product_info_get_mode();
    has_ip = 1;
    can_set_conf = 1;
    if (mode == PRODUCT_MODE_SLEEP)
        has_ip = 0;
    if (mode != PRODUCT_MODE_NORMAL && mode != PRODUCT_MODE_RESCUE)
        can_set_conf = 0;

    if (has_ip) {
        ipconf_socket = udp_socket_new(ORVANE_PORT, interface);
        if (ipconf_socket < 0) {
            syslog(LOG_ERR, "cannot open UDP socket for ipconf broadcast");
            return -1;
        }
        syslog(LOG_INFO, "Ipconf socket bound to %s", interface);
        ipconf_fallback_socket = raw_send_socket_new();
        if (ipconf_fallback_socket < 0)
            syslog(LOG_WARNING, "cannot open fallback RAW socket for ipconf broadcast");
    } else {
        ipconf_socket = raw_socket_new(COOKED);
        if (ipconf_socket < 0) {
            syslog(LOG_ERR, "cannot open RAW socket for ipconf broadcast");
            return -1;
        }
        // Packets of this host arrive with their UDP checksum not yet filled
        // in; the kernel says so per packet.
        if (raw_socket_want_status(ipconf_socket) != 0)
            syslog(LOG_WARNING, "cannot ask for packet status: packets of this host will be refused");
    }
    socket_add(ipconf_socket, registered);

    if (product_info_get_puid()[0] == '\0' && ipconf_retrieve_puid(nullptr) != 0) {
        syslog(LOG_ERR, "cannot retrieve puid");
        return -1;
    }
    connections.reset(new (std::nothrow) connection_map);
    if (!connections) {
        syslog(LOG_ERR, "cannot create list of ipconf connections");
        return -1;
    }
    if (ipconf_open_pending_conf() != 0)
        return -1;

    sigemptyset(&signal_set);
    sigaddset(&signal_set, SIGHUP);
    sigaddset(&signal_set, SIGALRM);
    sigprocmask(SIG_BLOCK, &signal_set, &wait_mask);
    sigdelset(&wait_mask, SIGHUP);
    sigdelset(&wait_mask, SIGALRM);
    if (install(SIGHUP, &sighup_act, on_sighup) != 0) {
        std::perror("SIGHUP sigaction");
        return -1;
    }
    if (install(SIGALRM, &sigalrm_act, on_sigalrm) != 0) {
        std::perror("SIGALRM sigaction");
        return -1;
    }
    prepare_slots();
    info_reply_open(registered, ipconf_socket, has_ip == 0);
    (void)broadcast_info();
    return ipconf_rpc_open(ipconf_socket, registered);
}

namespace {

// One received datagram: its message dispatched with its sender, or dropped.
// 0, or -1 when the daemon must stop.
int take_datagram(datagram_slot &slot)
{
    // Nothing waits for the second half of a failed receive: the daemon stops
    // on an empty datagram as on a failed receive.
    if (slot.length == 0) {
        errno = 0;
        std::perror("recv failed");
        syslog(LOG_ERR, "cannot receive UDP packet");
        return -1;
    }
    if (slot.length == DATA_SIZE) {
        syslog(LOG_WARNING, "packet too long");
        return 0;
    }
    uint8_t *data = slot.buffer;
    const size_t length = slot.length;
    data[length] = 0;
    char sender[INET6_ADDRSTRLEN] = {};
    if (has_ip) {
        if (ip_address_get(&slot.sender, sender, nullptr) != 0)
            return 0;
        dispatch(data, length, sender);
        return 0;
    }
    if (raw_udp_check_status(data, length, ORVANE_PORT, slot.status) != 0)
        return 0;
    // A UDP length below its own header puts the payload past the data.
    const auto offset = static_cast<size_t>(raw_udp_get_data(data) - data);
    if (offset > length)
        return 0;
    if (raw_ipv4_get_sender_address(data, sender) != 0)
        return 0;
    dispatch(data + offset, std::min(raw_udp_get_data_size(data), length - offset), sender);
    return 0;
}

} // namespace

int ipconf_server(select_set *registered, select_set *ready)
{
    // SIGHUP and SIGALRM that fell due while the daemon worked have run at the
    // start of this pass's wait, which delivers what is pending before it
    // reports a descriptor.
    (void)ipconf_rpc_server(registered, ready);
    if (info_reply_serve(ready))
        (void)broadcast_info();
    if (ipconf_socket < 0)
        return 0;
    if (FD_ISSET(ipconf_socket, &ready->except)) {
        syslog(LOG_ERR, "error on ipconf socket");
        return -1;
    }
    if (!FD_ISSET(ipconf_socket, &ready->read))
        return 0;

    const int received = datagrams_recv(ipconf_socket, slots, BATCH);
    if (received < 0) {
        std::perror("recv failed");
        syslog(LOG_ERR, "cannot receive UDP packet");
        return -1;
    }
    for (int i = 0; i < received; ++i) {
        if (take_datagram(slots[i]) != 0)
            return -1;
    }
    return 0;
}

void ipconf_close(select_set *registered)
{
    info_reply_close(registered);
    if (ipconf_socket >= 0) {
        socket_remove(ipconf_socket, registered);
        close(ipconf_socket);
        ipconf_socket = -1;
    }
    if (ipconf_fallback_socket >= 0) {
        close(ipconf_fallback_socket);
        ipconf_fallback_socket = -1;
    }
    connections.reset();
    ipconf_close_pending_conf();
    ipconf_rpc_close(registered);
}

void ipconf_block_signals()
{
    sigprocmask(SIG_BLOCK, &signal_set, nullptr);
}

void ipconf_unblock_signals()
{
    sigprocmask(SIG_UNBLOCK, &signal_set, nullptr);
}

int ipconf_send(const uint8_t *message, size_t size)
{
    if (!has_ip)
        return raw_send_udp_broadcast(ipconf_socket, ORVANE_PORT, message, size);
    const int result = udp_send_broadcast(ipconf_socket, ORVANE_PORT, message, size);
    if (result == 0)
        return 0;
    syslog(LOG_WARNING, "UDP send broadcast failed, sending RAW");
    if (ipconf_fallback_socket < 0)
        return result;
    const int raw_result = raw_send_udp_broadcast(ipconf_fallback_socket, ORVANE_PORT, message, size);
    if (raw_result != 0)
        syslog(LOG_ERR, "RAW broadcast send failed");
    return raw_result;
}

int broadcast_info()
{
    // Counted, and what was owed settled, also when the INFO cannot be built:
    // LOOKs are read again, and the next one tries anew.
    info_reply_sending();
    const uint8_t *message = info_reply_message();
    if (message == nullptr) {
        syslog(LOG_ERR, "cannot create info message");
        return -1;
    }
    if (ipconf_send(message, tlv_get_size(message)) != 0)
        syslog(LOG_ERR, "cannot send info reply message");
    return 0;
}

const sigset_t *ipconf_wait_mask()
{
    return &wait_mask;
}
