// The commissioning page's HTTP server: cpp-httplib's request handling over
// connections held to account. A whole request (headers and body) must arrive
// before a deadline counted from when the server starts waiting for it; open
// connections are capped, with a worker for each, and a connection over the
// cap makes room by closing the one that has waited longest without a request
// of the page in hand, or is closed at once. No idle or slow client keeps a
// worker from the page.
#pragma once

#include <httplib.h>

#include <chrono>
#include <memory>
#include <string>

namespace ctl {

struct connection_limits {
    size_t max_connections = 32;
    std::chrono::milliseconds request_deadline{5000};
    std::chrono::milliseconds write_timeout{5000};
};

class page_server : public httplib::Server {
public:
    explicit page_server(connection_limits limits = {});
    ~page_server() override;
    page_server(const page_server &) = delete;
    page_server &operator=(const page_server &) = delete;

    // Binds and listens with a queue deep enough for a burst of connections;
    // false when the address cannot be bound.
    [[nodiscard]] bool bind(const std::string &address, int port);

    // Called from a handler (the pre-routing one included) about the request
    // it is handling: the request is the page's own, so its connection is not
    // closed to make room; or its connection ends after this reply.
    static void keep_request();
    static void close_after_reply();

    // Ends every connection that has no request of the page in hand and
    // admits no new one; the others end after their reply. Before stop().
    void stop_connections();

    class table; // the open connections, defined with the server

private:
    bool process_and_close_socket(socket_t sock) override;

    connection_limits limits_;
    std::unique_ptr<table> table_;
};

} // namespace ctl
