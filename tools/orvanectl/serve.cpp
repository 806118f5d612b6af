// orvanectl serve: the commissioning page. A small HTTP server (cpp-httplib)
// that serves one embedded page and a JSON API over discover, configure and
// watch. Loopback only unless --listen says otherwise. Every request must
// name this server in its Host header (no DNS rebinding); every API request
// carries the per-run token, which reaches the technician only in the URL
// printed at start (no other user or site can ask for it); the page's
// request rate, bodies, request times and connections are bounded; the
// password is read from the configure body, wiped after use, and never
// logged.

#include "configurator/configurator.hpp"
#include "ipconf/interface_conf.hpp"
#include "page_assets.hpp" // generated from page/ at build time
#include "tools/orvanectl/cli.hpp"
#include "tools/orvanectl/decode.hpp"
#include "tools/orvanectl/device.hpp"
#include "tools/orvanectl/json_reader.hpp"
#include "tools/orvanectl/output.hpp"
#include "tools/orvanectl/page_server.hpp"
#include "tools/orvanectl/password.hpp"
#include "tools/orvanectl/segment.hpp"
#include "util/io.hpp"

#include <arpa/inet.h>
#include <malloc.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

using ctl::json;

constexpr int default_port = 4446;
constexpr size_t max_body = 16 * 1024;
constexpr int discover_ms = 2000;
constexpr int configure_ms = 45000;
constexpr int watch_poll_ms = 1000;
constexpr size_t watch_kept = 200;
// A page polls a few times a second at most; this leaves room for a burst.
// Only requests with the token count: nobody else can use up the page's.
constexpr double requests_per_second = 20;
constexpr double request_burst = 60;
// Longer than one watch poll, so that a watching page does not make
// discover or configure busy.
constexpr auto radio_wait = std::chrono::milliseconds(2500);

int run_serve(int argc, char **argv);

const ctl::command serve_command{
    "serve", "[--listen ADDR:PORT] [-i IFACE]...",
    "Serve the commissioning page: find, configure and watch devices from a browser.",
    R"(Listens on 127.0.0.1:4446 unless --listen names another address (a warning says that the page is then
reachable from the network). Open the printed address in a browser on this machine: it carries this
run's token, which the page needs and nothing else hands out. The page and its JSON API are described in
orvanectl(1). Runs until interrupted (SIGINT, SIGTERM).)",
    run_serve};

const ctl::registration registered{serve_command};

struct listen_address {
    std::string address = "127.0.0.1";
    int port = default_port;
    int family = AF_INET;
    [[nodiscard]] bool loopback() const { return family == AF_INET ? address.rfind("127.", 0) == 0 : address == "::1"; }
    [[nodiscard]] bool wildcard() const { return address == "0.0.0.0" || address == "::"; }
    [[nodiscard]] std::string url() const
    {
        return "http://" + (family == AF_INET6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
    }
    // In the fragment, which a browser never sends: the token reaches no
    // request line, log or Referer.
    [[nodiscard]] std::string page_url(const std::string &token) const { return url() + "#token=" + token; }
};

bool parse_port(std::string_view text, int &port)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    port = std::stoi(std::string(text));
    return port >= 1 && port <= 65535;
}

// ADDR:PORT with ADDR an IPv4 address or [IPv6 address], in numeric form.
bool parse_listen(const char *text, listen_address &out)
{
    std::string_view all(text);
    size_t colon = all.rfind(':');
    bool ok = colon != std::string_view::npos && parse_port(all.substr(colon + 1), out.port);
    std::string host(ok ? all.substr(0, colon) : std::string_view());
    if (ok && host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        out.family = AF_INET6;
    }
    unsigned char parsed[sizeof(in6_addr)];
    char normal[INET6_ADDRSTRLEN];
    ok = ok && inet_pton(out.family, host.c_str(), parsed) == 1 && inet_ntop(out.family, parsed, normal, sizeof normal);
    if (!ok)
        return ctl::refuse("--listen wants ADDRESS:PORT like 127.0.0.1:4446 or [::1]:4446, not \"" +
                           ctl::printable(all) + "\"");
    out.address = normal;
    return true;
}

// Host names a page may be reached by: the listen address itself, localhost
// on loopback, any numeric address when listening on all. A name a DNS
// server made up never passes.
bool host_allowed(const listen_address &listen, std::string_view host)
{
    std::string name;
    std::string_view port_text;
    if (!host.empty() && host.front() == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(1, close - 1);
        host.remove_prefix(close + 1);
        if (!host.empty() && host.front() != ':')
            return false;
        port_text = host.empty() ? host : host.substr(1);
    } else {
        size_t colon = host.find(':');
        name = host.substr(0, colon);
        port_text = colon == std::string_view::npos ? std::string_view() : host.substr(colon + 1);
    }
    int port = 80;
    if (!port_text.empty() && !parse_port(port_text, port))
        return false;
    if (port != listen.port)
        return false;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    unsigned char parsed[sizeof(in6_addr)];
    char normal[INET6_ADDRSTRLEN] = "";
    int family = name.find(':') == std::string::npos ? AF_INET : AF_INET6;
    bool numeric = inet_pton(family, name.c_str(), parsed) == 1 && inet_ntop(family, parsed, normal, sizeof normal);
    if (numeric)
        return listen.wildcard() || normal == listen.address;
    return name == "localhost" && listen.loopback();
}

bool same_secret(std::string_view given, std::string_view token)
{
    if (given.size() != token.size())
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ token[i]);
    return differ == 0;
}

class rate_limit {
public:
    bool allow()
    {
        std::lock_guard lock(mutex_);
        auto now = std::chrono::steady_clock::now();
        double seconds = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        tokens_ = std::min(request_burst, tokens_ + seconds * requests_per_second);
        if (tokens_ < 1)
            return false;
        tokens_ -= 1;
        return true;
    }

private:
    std::mutex mutex_;
    double tokens_ = request_burst;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Everything the handlers share. The radio is one operation at a time.
struct server_state {
    listen_address listen;
    // Where the radio works (every interface when empty); the server's stop
    // ends a running operation.
    std::vector<std::string> interfaces;
    configurator::cancel_token stopping;
    std::string token;
    rate_limit rate;
    std::timed_mutex radio;
    std::mutex data;
    json devices = json::array();
    size_t dropped = 0;
    json discovered_at = nullptr;
    std::deque<json> watched;
    uint64_t next_seq = 1;
};

void reply(httplib::Response &res, int status, const json &body)
{
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void refuse_with(httplib::Response &res, int status, const std::string &text)
{
    reply(res, status, {{"schema", 1}, {"error", text}});
}

json devices_reply(server_state &state)
{
    std::lock_guard lock(state.data);
    return {
        {"schema", 1}, {"devices", state.devices}, {"dropped", state.dropped}, {"discovered_at", state.discovered_at}};
}

std::string clock_text()
{
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// A text field of the configure body: absent or null is "", anything but a
// text is refused.
bool text_field(const json &body, const char *key, std::string &out, std::string &why)
{
    if (!body.contains(key) || body[key].is_null())
        return true;
    if (!body[key].is_string()) {
        why = std::string(key) + " must be a text";
        return false;
    }
    out = body[key].get<std::string>();
    return true;
}

// The configure body, checked with the same validators (and so the same
// messages) as the orvanectl configure arguments.
bool read_order(const json &body, configurator::configuration &order, std::string &why)
{
    ctl::refusal_capture capture(why);
    std::string puid, user, host_name;
    if (!body.is_object())
        return ctl::refuse("the body must be a JSON object");
    if (!text_field(body, "puid", puid, why) || !text_field(body, "user", user, why) ||
        !text_field(body, "host_name", host_name, why))
        return false;
    if (!ctl::parse_mac("puid", puid.c_str(), order.puid))
        return false;
    if (user.empty())
        return ctl::refuse("user is required");
    if (!ctl::parse_user_name("user", user.c_str(), order.user))
        return false;
    if (!host_name.empty() && !ctl::parse_host_name("host_name", host_name.c_str(), order.host_name))
        return false;
    const bool listed = body.contains("interfaces") && !body["interfaces"].is_null();
    if (listed && (!body["interfaces"].is_array() || body["interfaces"].size() > 16))
        return ctl::refuse("interfaces must be a list of at most 16 entries");
    for (const auto &entry : listed ? body["interfaces"] : json::array()) {
        configurator::interface_setting wanted;
        std::string mac, method, address, gateway, dns, wins;
        if (!entry.is_object())
            return ctl::refuse("each interface must be a JSON object");
        if (!text_field(entry, "mac", mac, why) || !text_field(entry, "method", method, why) ||
            !text_field(entry, "address", address, why) || !text_field(entry, "gateway", gateway, why) ||
            !text_field(entry, "dns", dns, why) || !text_field(entry, "wins", wins, why))
            return false;
        if (!ctl::parse_mac("mac", mac.c_str(), wanted.mac))
            return false;
        for (const auto &known : order.interfaces)
            if (known.mac == wanted.mac)
                return ctl::refuse("interface " + wanted.mac + " given twice");
        if (method == "static") {
            wanted.ipv4_method = IPV4_STATIC;
            if (!ctl::parse_ipv4_prefix("address", address.c_str(), wanted.address, wanted.netmask))
                return false;
        } else if (method == "dhcp" || method.empty()) {
            if (!address.empty())
                return ctl::refuse("interface " + wanted.mac + ": an address goes with the static method only");
            if (!method.empty())
                wanted.ipv4_method = IPV4_DHCP;
        } else {
            return ctl::refuse("method must be static, dhcp or empty, not \"" + ctl::printable(method) + "\"");
        }
        if ((!gateway.empty() && !ctl::parse_ipv4("gateway", gateway.c_str(), wanted.gateway)) ||
            (!dns.empty() && !ctl::parse_ipv4("dns", dns.c_str(), wanted.dns)) ||
            (!wins.empty() && !ctl::parse_ipv4("wins", wins.c_str(), wanted.wins)))
            return false;
        if (method.empty() && gateway.empty() && dns.empty() && wins.empty())
            return ctl::refuse("interface " + wanted.mac + " has no settings (static, dhcp, gateway, DNS, WINS)");
        order.interfaces.push_back(std::move(wanted));
    }
    if (order.host_name.empty() && order.interfaces.empty())
        return ctl::refuse("nothing to configure: give a host name and/or interface settings");
    return true;
}

configurator::search search_of(server_state &state, int wait_ms)
{
    return {.interfaces = state.interfaces, .timeout = std::chrono::milliseconds(wait_ms), .cancel = &state.stopping};
}

// The library's error text, or why there is none: the server's stop ended
// the operation.
std::string failure_of(configurator::outcome result, const std::string &error)
{
    return result == configurator::outcome::cancelled ? "cancelled: the server is stopping" : error;
}

void handle_configure(server_state &state, const httplib::Request &req, httplib::Response &res)
{
    // The body holds the password: read it out, then wipe the request's copy.
    json body;
    std::string why, password;
    bool ok = ctl::read_json(req.body, "password", body, password, why);
    auto &raw = const_cast<std::string &>(req.body);
    explicit_bzero(raw.data(), raw.size());
    struct wipe {
        std::string &text;
        ~wipe() { explicit_bzero(text.data(), text.size()); }
    } wiped{password};
    configurator::configuration order;
    ok = ok && read_order(body, order, why);
    if (ok && !(why = ctl::password_refusal(password)).empty())
        ok = false;
    if (!ok)
        return refuse_with(res, 400, why);
    order.password_hash = configurator::password_hash(password);
    explicit_bzero(password.data(), password.size());
    std::unique_lock radio(state.radio, radio_wait);
    if (!radio.owns_lock())
        return refuse_with(res, 409, "busy: another discover, configure or watch is running");
    const auto done = configurator::configure(order, search_of(state, configure_ms));
    explicit_bzero(order.password_hash.data(), order.password_hash.size());
    using configurator::outcome;
    const char *result = ctl::result_word(done.result);
    const std::string detail =
        done.result == outcome::refused ? done.device_error : failure_of(done.result, done.error);
    std::fprintf(stderr, "orvanectl serve: configure %s: %s%s%s\n", order.puid.c_str(), result,
                 detail.empty() ? "" : ": ", ctl::printable(detail).c_str());
    reply(res, 200,
          {{"schema", 1},
           {"puid", order.puid},
           {"result", result},
           {"error", done.result == outcome::ok ? json(nullptr) : json(detail)}});
}

void handle_discover(server_state &state, httplib::Response &res)
{
    std::unique_lock radio(state.radio, radio_wait);
    if (!radio.owns_lock())
        return refuse_with(res, 409, "busy: another discover, configure or watch is running");
    auto done = configurator::find(search_of(state, discover_ms));
    if (done.result != configurator::outcome::ok)
        return refuse_with(res, 503, failure_of(done.result, done.error));
    json found = json::array();
    for (const auto &device : done.devices)
        found.push_back(ctl::device_record(device));
    std::vector<configurator::device>().swap(done.devices);
    {
        std::lock_guard lock(state.data);
        state.devices = std::move(found); // sorted by PUID
        state.dropped = done.dropped;
        state.discovered_at = clock_text();
    }
    // A flooded segment's list is large; what the last one held goes back
    // to the system rather than staying with the server.
    malloc_trim(0);
    reply(res, 200, devices_reply(state));
}

// Long poll: listens for up to a second (when nothing else uses the radio)
// and returns the messages numbered after `after`.
void handle_watch(server_state &state, const httplib::Request &req, httplib::Response &res)
{
    uint64_t after = 0;
    std::string text = req.get_param_value("after");
    if (!text.empty() &&
        (text.size() > 19 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })))
        return refuse_with(res, 400, "after must be a message number");
    if (!text.empty())
        after = std::stoull(text);
    bool busy = false;
    {
        std::unique_lock radio(state.radio, std::try_to_lock);
        busy = !radio.owns_lock();
        std::vector<json> seen;
        const auto done =
            busy ? configurator::watch_result{configurator::outcome::ok, {}, {}}
                 : configurator::watch(search_of(state, watch_poll_ms), [&](const auto &got) {
                       seen.push_back({{"time", utc_timestamp_text()},
                                       {"from", got.sender},
                                       {"interface", got.interface},
                                       {"message", ctl::decode_message(got.data.data(), got.data.size())}});
                       return true;
                   });
        if (done.result != configurator::outcome::ok)
            return refuse_with(res, 503, failure_of(done.result, done.error));
        std::lock_guard lock(state.data);
        for (auto &message : seen) {
            message["seq"] = state.next_seq++;
            state.watched.push_back(std::move(message));
            if (state.watched.size() > watch_kept)
                state.watched.pop_front();
        }
    }
    if (busy)
        std::this_thread::sleep_for(std::chrono::milliseconds(watch_poll_ms));
    std::lock_guard lock(state.data);
    json messages = json::array();
    for (const auto &message : state.watched)
        if (message["seq"].get<uint64_t>() > after)
            messages.push_back(message);
    reply(res, 200, {{"schema", 1}, {"busy", busy}, {"next", state.next_seq - 1}, {"messages", messages}});
}

std::string asset_path(const ctl::page_assets::asset &asset)
{
    return std::string("/") + (std::string_view(asset.name) == "index.html" ? "" : asset.name);
}

bool is_asset(const httplib::Request &req)
{
    return (req.method == "GET" || req.method == "HEAD") &&
           std::any_of(std::begin(ctl::page_assets::all), std::end(ctl::page_assets::all),
                       [&](const auto &asset) { return req.path == asset_path(asset); });
}

// Every request passes here first, before its body is read: the Host, then
// the token (only the page's own files are free), then the page's rate. A
// refused request ends its connection and costs the page nothing.
httplib::Server::HandlerResponse screen(server_state &state, const httplib::Request &req, httplib::Response &res)
{
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                   "connect-src 'self'; frame-ancestors 'none'; form-action 'none'; base-uri 'none'");
    const auto refused = [&](int status, const std::string &text) {
        ctl::page_server::close_after_reply();
        refuse_with(res, status, text);
        return httplib::Server::HandlerResponse::Handled;
    };
    if (!host_allowed(state.listen, req.get_header_value("Host")))
        return refused(403, "refused: the Host header does not name this server");
    if (is_asset(req))
        return httplib::Server::HandlerResponse::Unhandled;
    if (!same_secret(req.get_header_value("X-Orvane-Token"), state.token))
        return refused(403, "refused: this request needs the page's token (X-Orvane-Token): open the address that "
                            "orvanectl serve printed");
    ctl::page_server::keep_request();
    if (!state.rate.allow()) {
        refuse_with(res, 429, "too many requests");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void add_routes(httplib::Server &server, server_state &state)
{
    for (const auto &asset : ctl::page_assets::all) {
        server.Get(asset_path(asset), [&asset](const httplib::Request &, httplib::Response &res) {
            res.set_content(reinterpret_cast<const char *>(asset.data), asset.size, asset.type);
        });
    }
    server.Get("/api/session", [&state](const httplib::Request &, httplib::Response &res) {
        json interfaces = json::array();
        for (const auto &name : state.interfaces)
            interfaces.push_back(name);
        reply(res, 200, {{"schema", 1}, {"interfaces", interfaces}, {"configure_timeout", configure_ms / 1000}});
    });
    server.Get("/api/devices",
               [&state](const httplib::Request &, httplib::Response &res) { reply(res, 200, devices_reply(state)); });
    server.Get("/api/watch",
               [&state](const httplib::Request &req, httplib::Response &res) { handle_watch(state, req, res); });
    server.Post("/api/discover",
                [&state](const httplib::Request &, httplib::Response &res) { handle_discover(state, res); });
    server.Post("/api/configure",
                [&state](const httplib::Request &req, httplib::Response &res) { handle_configure(state, req, res); });
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            refuse_with(res, res.status,
                        res.status == 413   ? "request too large"
                        : res.status == 404 ? "no such page"
                                            : "request refused (HTTP " + std::to_string(res.status) + ")");
    });
    server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        refuse_with(res, 500, "internal error");
    });
}

std::string new_token()
{
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return {};
    std::string text;
    char pair[3];
    for (unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

int serve(server_state &state)
{
    // Workers inherit this mask: only the main thread takes SIGINT/SIGTERM.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    ctl::page_server server;
    server.set_payload_max_length(max_body);
    server.set_address_family(state.listen.family);
    server.set_pre_routing_handler(
        [&state](const httplib::Request &req, httplib::Response &res) { return screen(state, req, res); });
    add_routes(server, state);
    if (!server.bind(state.listen.address, state.listen.port)) {
        ctl::refuse("cannot listen on " + state.listen.url() + " (in use, or not an address of this host)");
        return ctl::exit_failed;
    }
    if (!state.listen.loopback())
        std::fprintf(stderr,
                     "orvanectl serve: warning: listening on %s, which is not loopback: anyone who can reach it can "
                     "use the page; only a device's password protects the device\n",
                     state.listen.url().c_str());
    // Only the invoking user's terminal sees the token; nothing keeps it.
    std::printf("orvanectl serve: page at %s\n", state.listen.page_url(state.token).c_str());
    std::fflush(stdout);
    std::thread listener([&server] { server.listen_after_bind(); });
    int sig = 0;
    sigwait(&stops, &sig);
    // A configure may wait up to 45 s for its device: end it, then the server.
    state.stopping.cancel();
    server.stop_connections();
    server.stop();
    listener.join();
    // Stopped by a signal, as every command that runs until one comes.
    return ctl::exit_signal_base + sig;
}

int run_serve(int argc, char **argv)
{
    server_state state;
    std::vector<std::string> positional;
    int status = ctl::parse_options(
        serve_command, argc, argv,
        {
            {"listen", 0, "ADDR:PORT", "listen here instead of 127.0.0.1:4446",
             [&](const char *value) { return parse_listen(value, state.listen); }},
            {"interface", 'i', "IFACE", "find and configure on this interface (repeatable; default: all)",
             [&](const char *value) {
                 std::string name;
                 if (!ctl::parse_interface_name("-i", value, name))
                     return false;
                 auto &names = state.interfaces;
                 if (std::find(names.begin(), names.end(), name) == names.end())
                     names.push_back(name);
                 return true;
             }},
        },
        positional);
    if (status != ctl::go_on)
        return status;
    state.token = new_token();
    if (state.token.empty()) {
        ctl::refuse(std::string("cannot make a token: ") + std::strerror(errno));
        return ctl::exit_failed;
    }
    try {
        return serve(state);
    } catch (const std::exception &e) {
        ctl::refuse(std::string("server failed: ") + e.what());
        return ctl::exit_failed;
    }
}

} // namespace
