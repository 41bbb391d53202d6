// The live view's server: plain HTTP for the page and its assets, a
// WebSocket at /live for the model and its updates. Boost.Beast over
// Boost.Asio, every socket served by one thread of the server's own.
//
// The run's thread only encodes a message (outside any lock), appends it to
// the queue of every page under the hub's lock and posts a wake-up: it never
// waits for a socket. Each page's queue is bounded: a page that falls
// further behind than the limit is put back to "waiting for the model" (its
// queue dropped, a fresh model follows after the next frame), or, when
// nothing has reached it for a few seconds, disconnected.

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fuse/LiveProtocol.h"
#include "fuse/LiveView.h"
#include "fuse/serve/LiveAssets.h"

namespace kelvane_fuse {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Message = std::shared_ptr<const std::vector<uint8_t>>;

constexpr size_t kMaxIncomingMessage = 4096;  // the page sends nothing; small control text at most
constexpr size_t kMaxRequestBody = 4096;
constexpr int kMaxPages = 32;
constexpr auto kRequestTimeout = std::chrono::seconds(30);
// A page whose queue overflows is sent the model afresh, unless nothing has
// reached it for this long: then it is disconnected.
constexpr auto kStuckAfter = std::chrono::seconds(3);
const char* const kServerName = "kelvane-fuse";

class PageSession;

// What the run and the sockets share. Every field below the mutex is
// guarded by it; the counters are read without it for the summary.
class Hub {
public:
    explicit Hub(int64_t queue_limit) : m_queue_limit(queue_limit) {}

    std::mutex mutex;

    // Registers a page whose handshake is done; false when too many pages.
    bool attach(const std::shared_ptr<PageSession>& page);
    void detach(PageSession* page, bool refused);
    // Appends `message` to every page in the stream (run thread).
    void broadcast(const Message& message);
    // Starts every waiting page from `model` (run thread).
    void startWaiting(const Message& model);
    void resyncAll();
    void finish(const Message& model, const Message& final_header);
    // Takes the next message of `page` (socket thread); null when none.
    Message next(PageSession& page);
    void wroteOne(PageSession& page);
    bool anyoneWaiting() const { return m_waiting.load(std::memory_order_acquire) > 0; }
    bool anyoneStreaming();
    bool queuesEmpty();
    void dropAll();

    std::atomic<int64_t> pages{0}, resynced{0}, dropped{0}, refused{0};

private:
    void push(PageSession& page, const Message& message);  // lock held

    const int64_t m_queue_limit;
    std::set<std::shared_ptr<PageSession>> m_pages;
    std::atomic<int> m_waiting{0};
    Message m_final_model, m_final_header;
};

// One page's WebSocket. The socket is used on the server thread only; the
// queue and the state belong to the hub's lock.
class PageSession : public std::enable_shared_from_this<PageSession> {
public:
    enum class State { Handshake, Waiting, Streaming, Gone };

    PageSession(tcp::socket&& socket, Hub& hub) : m_ws(std::move(socket)), m_hub(hub) {}

    void start(http::request<http::string_body> request) {
        m_ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        m_ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, kServerName);
        }));
        m_ws.read_message_max(kMaxIncomingMessage);
        m_ws.binary(true);
        m_ws.auto_fragment(false);  // one frame a message
        m_ws.async_accept(request,
                          beast::bind_front_handler(&PageSession::onAccept, shared_from_this()));
    }

    // Run thread: have the server thread look at the queue.
    void wake() {
        net::post(m_ws.get_executor(), [self = shared_from_this()] { self->pump(); });
    }
    // Run thread: cut the connection (a page that does not read).
    void cut() {
        net::post(m_ws.get_executor(), [self = shared_from_this()] {
            beast::error_code ignored;
            beast::get_lowest_layer(self->m_ws).socket().close(ignored);
        });
    }

    // Guarded by the hub's mutex.
    State state = State::Handshake;
    std::deque<Message> queue;
    int64_t queued_bytes = 0;
    bool writing = false;  // a message taken from the queue is on its way
    std::chrono::steady_clock::time_point last_write = std::chrono::steady_clock::now();

private:
    void onAccept(beast::error_code ec) {
        if (ec) return;  // not a WebSocket after all; nothing registered yet
        if (!m_hub.attach(shared_from_this())) {
            m_ws.async_close(websocket::close_reason(websocket::close_code::try_again_later,
                                                     "too many pages open"),
                             [self = shared_from_this()](beast::error_code) {});
            return;
        }
        read();
        pump();
    }

    void read() {
        m_ws.async_read(m_incoming,
                        beast::bind_front_handler(&PageSession::onRead, shared_from_this()));
    }

    void onRead(beast::error_code ec, size_t) {
        if (ec) {
            // A page that closes, reloads or goes away ends here too; the
            // rest broke the protocol (Beast has answered with a close
            // frame naming why: 1009 too big, 1002 protocol error).
            const bool refused = ec != websocket::error::closed && ec != net::error::eof &&
                                 ec != net::error::connection_reset &&
                                 ec != net::error::operation_aborted &&
                                 ec != beast::error::timeout && ec != net::error::bad_descriptor;
            m_hub.detach(this, refused);
            return;
        }
        m_incoming.consume(m_incoming.size());  // nothing the page says changes anything
        read();
    }

    void pump() {
        if (m_writing) return;
        m_current = m_hub.next(*this);
        if (!m_current) return;
        m_writing = true;
        m_ws.async_write(net::buffer(*m_current),
                         beast::bind_front_handler(&PageSession::onWrite, shared_from_this()));
    }

    void onWrite(beast::error_code ec, size_t) {
        m_writing = false;
        m_current.reset();
        if (ec) {
            m_hub.detach(this, false);
            return;
        }
        m_hub.wroteOne(*this);
        pump();
    }

    websocket::stream<beast::tcp_stream> m_ws;
    Hub& m_hub;
    beast::flat_buffer m_incoming;
    Message m_current;
    bool m_writing = false;
};

bool Hub::attach(const std::shared_ptr<PageSession>& page) {
    std::lock_guard<std::mutex> lock(mutex);
    if (int(m_pages.size()) >= kMaxPages) return false;
    m_pages.insert(page);
    ++pages;
    if (m_final_model) {
        page->state = PageSession::State::Streaming;
        push(*page, m_final_model);
        push(*page, m_final_header);
    } else {
        page->state = PageSession::State::Waiting;
        m_waiting.fetch_add(1, std::memory_order_release);
    }
    return true;
}

void Hub::detach(PageSession* page, bool was_refused) {
    std::lock_guard<std::mutex> lock(mutex);
    if (page->state == PageSession::State::Waiting)
        m_waiting.fetch_sub(1, std::memory_order_release);
    page->state = PageSession::State::Gone;
    page->queue.clear();
    page->queued_bytes = 0;
    if (was_refused) ++refused;
    for (auto it = m_pages.begin(); it != m_pages.end(); ++it) {
        if (it->get() == page) {
            m_pages.erase(it);  // the socket's own handlers still hold it
            break;
        }
    }
}

void Hub::push(PageSession& page, const Message& message) {
    const auto size = int64_t(message->size());
    if (page.queued_bytes + size > m_queue_limit && !page.queue.empty()) {
        page.queue.clear();
        page.queued_bytes = 0;
        if (std::chrono::steady_clock::now() - page.last_write > kStuckAfter) {
            // Nothing reached it for seconds: it does not read.
            page.state = PageSession::State::Gone;
            ++dropped;
            page.cut();
        } else {
            // Slow, not stuck: start it again from a fresh model.
            page.state = PageSession::State::Waiting;
            m_waiting.fetch_add(1, std::memory_order_release);
            ++resynced;
        }
        return;
    }
    page.queue.push_back(message);
    page.queued_bytes += size;
    page.wake();
}

void Hub::broadcast(const Message& message) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& page : m_pages)
        if (page->state == PageSession::State::Streaming) push(*page, message);
}

bool Hub::anyoneStreaming() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& page : m_pages)
        if (page->state == PageSession::State::Streaming) return true;
    return false;
}

void Hub::startWaiting(const Message& model) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& page : m_pages) {
        if (page->state != PageSession::State::Waiting) continue;
        page->state = PageSession::State::Streaming;
        m_waiting.fetch_sub(1, std::memory_order_release);
        push(*page, model);
    }
}

void Hub::resyncAll() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& page : m_pages) {
        if (page->state != PageSession::State::Streaming) continue;
        page->state = PageSession::State::Waiting;
        m_waiting.fetch_add(1, std::memory_order_release);
    }
}

void Hub::finish(const Message& model, const Message& final_header) {
    std::lock_guard<std::mutex> lock(mutex);
    m_final_model = model;
    m_final_header = final_header;
    for (const auto& page : m_pages) {
        if (page->state == PageSession::State::Waiting) {
            page->state = PageSession::State::Streaming;
            m_waiting.fetch_sub(1, std::memory_order_release);
            push(*page, model);
        }
        if (page->state == PageSession::State::Streaming) push(*page, final_header);
    }
}

Message Hub::next(PageSession& page) {
    std::lock_guard<std::mutex> lock(mutex);
    if (page.queue.empty()) return nullptr;
    Message message = std::move(page.queue.front());
    page.queue.pop_front();
    page.writing = true;
    page.queued_bytes -= int64_t(message->size());
    return message;
}

void Hub::wroteOne(PageSession& page) {
    std::lock_guard<std::mutex> lock(mutex);
    page.last_write = std::chrono::steady_clock::now();
    page.writing = false;
}

bool Hub::queuesEmpty() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& page : m_pages)
        if (page->state != PageSession::State::Gone && (!page->queue.empty() || page->writing))
            return false;
    return true;
}

void Hub::dropAll() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& page : m_pages) page->cut();
    m_pages.clear();
}

// Host names that mean this machine; a loopback server answers nothing else,
// so a web page elsewhere cannot rebind its own name to it.
bool isLoopbackHost(beast::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        return close != beast::string_view::npos && host.substr(0, close + 1) == "[::1]";
    }
    host = host.substr(0, host.find(':'));
    return host == "localhost" || host == "127.0.0.1";
}

// One HTTP connection: serves the page's files until it upgrades to the
// WebSocket or goes away.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, Hub& hub, bool loopback)
        : m_stream(std::move(socket)), m_hub(hub), m_loopback(loopback) {}

    void start() {
        net::dispatch(m_stream.get_executor(),
                      beast::bind_front_handler(&HttpSession::read, shared_from_this()));
    }

private:
    void read() {
        m_parser.emplace();
        m_parser->header_limit(8 * 1024);
        m_parser->body_limit(kMaxRequestBody);
        m_stream.expires_after(kRequestTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
    }

    void onRead(beast::error_code ec, size_t) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset) {
            close();
            return;
        }
        if (ec) {  // not HTTP, or too large: say so once and hang up
            http::response<http::string_body> response{http::status::bad_request, 11};
            response.set(http::field::content_type, "text/plain; charset=utf-8");
            response.body() = "bad request: " + ec.message() + "\n";
            response.keep_alive(false);
            send(std::move(response));
            return;
        }
        http::request<http::string_body> request = m_parser->release();
        const beast::string_view target = request.target();
        const beast::string_view path = target.substr(0, target.find('?'));
        if (m_loopback && !isLoopbackHost(request[http::field::host])) {
            send(
                plain(request, http::status::forbidden, "this server answers to localhost only\n"));
            return;
        }
        if (websocket::is_upgrade(request)) {
            if (path != "/live") {
                send(plain(request, http::status::not_found, "not found\n"));
                return;
            }
            const beast::string_view origin = request[http::field::origin];
            const std::string own = "http://" + std::string(request[http::field::host]);
            if (!origin.empty() && origin != own) {
                send(plain(request, http::status::forbidden, "the live view's own page only\n"));
                return;
            }
            m_stream.expires_never();
            std::make_shared<PageSession>(m_stream.release_socket(), m_hub)
                ->start(std::move(request));
            return;
        }
        if (path == "/live") {
            auto response = plain(request, http::status::upgrade_required, "WebSocket only\n");
            response.set(http::field::upgrade, "websocket");
            send(std::move(response));
            return;
        }
        const LiveAsset* asset = findLiveAsset(std::string(path));
        if (asset == nullptr) {
            send(plain(request, http::status::not_found, "not found\n"));
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            auto response = plain(request, http::status::method_not_allowed, "GET only\n");
            response.set(http::field::allow, "GET, HEAD");
            send(std::move(response));
            return;
        }
        http::response<http::string_body> response{http::status::ok, request.version()};
        response.set(http::field::content_type, asset->type);
        decorate(response);
        if (request.method() == http::verb::get)
            response.body().assign(reinterpret_cast<const char*>(asset->data), asset->size);
        response.content_length(asset->size);
        response.keep_alive(request.keep_alive());
        send(std::move(response));
    }

    static void decorate(http::response<http::string_body>& response) {
        response.set(http::field::server, kServerName);
        response.set(http::field::cache_control, "no-store");
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Content-Security-Policy",
                     "default-src 'self'; connect-src 'self'; frame-ancestors 'none'");
    }

    static http::response<http::string_body> plain(const http::request<http::string_body>& request,
                                                   http::status status, const char* text) {
        http::response<http::string_body> response{status, request.version()};
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        decorate(response);
        response.body() = text;
        response.keep_alive(false);  // a refusal ends the connection
        response.prepare_payload();
        return response;
    }

    void send(http::response<http::string_body>&& response) {
        auto held = std::make_shared<http::response<http::string_body>>(std::move(response));
        http::async_write(m_stream, *held,
                          [self = shared_from_this(), held](beast::error_code ec, size_t) {
                              if (ec || !held->keep_alive()) {
                                  self->close();
                                  return;
                              }
                              self->read();
                          });
    }

    void close() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    Hub& m_hub;
    bool m_loopback;
    std::optional<http::request_parser<http::string_body>> m_parser;
};

class LiveServer final : public LiveView {
public:
    explicit LiveServer(const ServeSettings& settings)
        : m_hub(settings.queue_limit), m_acceptor(m_io) {}

    ~LiveServer() override {
        m_hub.dropAll();
        m_io.stop();
        if (m_thread.joinable()) m_thread.join();
    }

    bool listen(const ServeSettings& settings, std::string& error) {
        beast::error_code ec;
        const net::ip::address address = net::ip::make_address(settings.address, ec);
        if (ec) {
            error = "--serve-address: '" + settings.address + "' is not an IP address";
            return false;
        }
        m_loopback = address.is_loopback();
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(settings.port));
        m_acceptor.open(endpoint.protocol(), ec);
        if (!ec) m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) m_acceptor.bind(endpoint, ec);
        if (!ec) m_acceptor.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            error = "cannot listen on " + settings.address + ":" + std::to_string(settings.port) +
                    ": " + ec.message();
            return false;
        }
        const tcp::endpoint bound = m_acceptor.local_endpoint(ec);
        const std::string host =
            address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
        m_url = "http://" + host + ":" + std::to_string(bound.port()) + "/";
        accept();
        m_thread = std::thread([this] { m_io.run(); });
        return true;
    }

    std::string url() const override { return m_url; }

    void publishUpdates(const fusion::Vertices* records, int count,
                        const LiveStats& stats) override {
        if (!m_hub.anyoneStreaming()) return;
        m_hub.broadcast(std::make_shared<const std::vector<uint8_t>>(
            encodeLiveMessage(LiveMessageKind::Updates, records, count, stats)));
    }

    bool wantsModel() const override { return m_hub.anyoneWaiting(); }

    void resyncAll() override { m_hub.resyncAll(); }

    void publishModel(const fusion::Vertices* vertices, int count,
                      const LiveStats& stats) override {
        m_hub.startWaiting(std::make_shared<const std::vector<uint8_t>>(
            encodeLiveMessage(LiveMessageKind::Model, vertices, count, stats)));
    }

    void publishFinal(const fusion::Vertices* vertices, int count,
                      const LiveStats& stats) override {
        m_hub.finish(std::make_shared<const std::vector<uint8_t>>(
                         encodeLiveMessage(LiveMessageKind::Model, vertices, count, stats)),
                     std::make_shared<const std::vector<uint8_t>>(
                         encodeLiveMessage(LiveMessageKind::Final, vertices, count, stats)));
    }

    void waitForInterrupt(const std::function<void()>& armed) override {
        // Set up from this thread (a signal set is safe to create beside a
        // running io_context), so the interrupt is caught from `armed` on.
        std::promise<void> interrupted;
        std::future<void> done = interrupted.get_future();
        net::signal_set signals(m_io, SIGINT, SIGTERM);
        signals.async_wait([&interrupted](beast::error_code, int) { interrupted.set_value(); });
        armed();
        done.wait();
    }

    void drainQueues(double seconds) override {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(seconds));
        while (!m_hub.queuesEmpty() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::string summary() const override {
        return "live view: " + std::to_string(m_hub.pages.load()) + " page connections, " +
               std::to_string(m_hub.resynced.load()) + " resynchronised, " +
               std::to_string(m_hub.dropped.load()) + " dropped (fell behind), " +
               std::to_string(m_hub.refused.load()) + " refused (bad frames)";
    }

private:
    void accept() {
        m_acceptor.async_accept(
            net::make_strand(m_io), [this](beast::error_code ec, tcp::socket socket) {
                if (ec == net::error::operation_aborted) return;
                if (!ec)
                    std::make_shared<HttpSession>(std::move(socket), m_hub, m_loopback)->start();
                accept();
            });
    }

    net::io_context m_io{1};
    Hub m_hub;
    tcp::acceptor m_acceptor;
    std::thread m_thread;
    std::string m_url;
    bool m_loopback = true;
};

}  // namespace

std::unique_ptr<LiveView> startLiveView(const ServeSettings& settings, std::string& error) {
    auto server = std::make_unique<LiveServer>(settings);
    if (!server->listen(settings, error)) return nullptr;
    return server;
}

bool liveViewBuiltIn() { return true; }

}  // namespace kelvane_fuse
