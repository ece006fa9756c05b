#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/pixoranio.h"
#include "io/pxurl.h"

using namespace pixoran;

namespace {

// libcurl is optional: a build without it fetches nothing.
#ifdef PIXORAN_TEST_NO_CURL
constexpr bool kHaveCurl = false;
#else
constexpr bool kHaveCurl = true;
#endif

// A tiny HTTP server on 127.0.0.1 for the tests: it answers a bounded number
// of connections, one request each, and records the request lines.
class TLoopbackServer {
 public:
  explicit TLoopbackServer(std::string image) : image_(std::move(image)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TLoopbackServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int Port() const { return port_; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    for (int served = 0; served < 50 && !stop_; ++served) {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      timeval tv{5, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      std::string req;
      char buf[4096];
      while (req.find("\r\n\r\n") == std::string::npos && req.size() < 65536) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      const std::string line = req.substr(0, req.find("\r\n"));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
      }
      std::string reply;
      if (line.find("/missing") != std::string::npos)
        reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found";
      else if (line.find("/moved") != std::string::npos)
        reply = "HTTP/1.1 302 Found\r\nLocation: /img.bmp\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      else if (line.find("/garbage") != std::string::npos)
        reply = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nnot an image";
      else if (line.find("/ftp") != std::string::npos)
        reply = "HTTP/1.1 302 Found\r\nLocation: ftp://127.0.0.1/x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      else
        reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(image_.size()) +
                "\r\nConnection: close\r\n\r\n" + image_;
      send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(c);
    }
  }
  std::string image_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

std::string SmallBMP() {
  TPixoranIO io;
  TPXBitmap& b = *io.PXBitmap();
  b.Allocate(3, 2, pxBGR24);
  for (int y = 0; y < 2; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int i = 0; i < 9; ++i) row[i] = static_cast<uint8_t>(40 * y + 10 * i);
  }
  TMemoryStream s;
  io.SaveToStreamBMP(s);
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<size_t>(s.Size()));
}

int RefusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);  // nobody listens there now
  return ntohs(a.sin_port);
}

}  // namespace

TEST(WebAddress, Parsing) {
  const struct {
    const char* in;
    bool ok, secure;
    const char* host;
    int port;
    const char* path;
  } kCases[] = {
      {"http://host/a/b.jpg", true, false, "host", 80, "/a/b.jpg"},
      {"HTTP://HOST:8080/X.BMP", true, false, "HOST", 8080, "/X.BMP"},
      {"https://host/x", true, true, "host", 443, "/x"},
      {"http://host", true, false, "host", 80, "/"},
      {"http://host:abc/x", true, false, "host", 80, "/x"},
      {"http://host:99999/x", true, false, "host", 80, "/x"},
      {"ftp://host/x", false, false, "", 0, ""},
      {"file:///etc/passwd", false, false, "", 0, ""},
      {"http:///x", false, false, "", 0, ""},
      {"http://ho st/x", false, false, "", 0, ""},
      {"http://a@b/x", false, false, "", 0, ""},
  };
  for (const auto& c : kCases) {
    TWebAddress w;
    ASSERT_EQ(ParseWebAddress(c.in, w), c.ok) << c.in;
    if (!c.ok) continue;
    EXPECT_EQ(w.Secure, c.secure) << c.in;
    EXPECT_EQ(w.Host, c.host) << c.in;
    EXPECT_EQ(w.Port, c.port) << c.in;
    EXPECT_EQ(w.Path, c.path) << c.in;
  }
}

TEST(LoadFromURL, LoopbackServer) {
  if (!kHaveCurl) GTEST_SKIP() << "built without libcurl";
  const std::string bmp = SmallBMP();
  TLoopbackServer server(bmp);
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  TPixoranIO io;
  int finished = 0;
  io.OnFinishWork = [&](TObject*) { ++finished; };

  io.LoadFromURL("HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/IMG.BMP");
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(finished, 1);
  ASSERT_EQ(io.PXBitmap()->Width(), 3);
  EXPECT_EQ(io.PXBitmap()->Scanline(1)[4], 80);
  ASSERT_FALSE(server.Requests().empty());
  EXPECT_EQ(server.Requests().back().substr(0, 23), "GET /IMG.BMP HTTP/1.1\r\n");
  EXPECT_NE(server.Requests().back().find("no-cache"), std::string::npos);

  io.LoadFromFile(base);  // no path: "/" through LoadFromFile's routing
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(server.Requests().back().substr(0, 16), "GET / HTTP/1.1\r\n");

  io.LoadFromURL(base + "/moved");  // redirect followed
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(server.Requests().back().substr(0, 13), "GET /img.bmp ");

  const struct {
    std::string address;
    TPXIOResult result;
  } kFailures[] = {
      {base + "/missing", iorNotFound},                                                 // 404
      {base + "/ftp", iorNotFound},                                                     // redirect to another protocol
      {"http://127.0.0.1:" + std::to_string(RefusedPort()) + "/img.bmp", iorNotFound},  // refused
      {"ftp://127.0.0.1/img.bmp", iorNotFound},                                         // not a web address
      {base + "/garbage", iorUnknownFormat},                                            // a body of no format
  };
  for (const auto& f : kFailures) {
    finished = 0;
    io.LoadFromURL(f.address);
    EXPECT_TRUE(io.Aborting()) << f.address;
    EXPECT_EQ(io.LastResult(), f.result) << f.address << ": " << io.LastResultText();
    EXPECT_EQ(finished, 1) << f.address;
  }
  EXPECT_EQ(io.PXBitmap()->Width(), 3);  // the bitmap survives failures
}

TEST(LoadFromURL, ThroughProxyAndWithinBudget) {
  if (!kHaveCurl) GTEST_SKIP() << "built without libcurl";
  const std::string bmp = SmallBMP();
  TLoopbackServer proxy(bmp);
  TPixoranIO io;
  io.SetProxyAddress("127.0.0.1:" + std::to_string(proxy.Port()));
  io.SetProxyUser("user");
  io.SetProxyPassword("secret");
  // The proxy answers for a host that no one serves.
  io.LoadFromURL("http://127.0.0.1:" + std::to_string(RefusedPort()) + "/img.bmp");
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.PXBitmap()->Width(), 3);
  ASSERT_FALSE(proxy.Requests().empty());
  const std::string req = proxy.Requests().back();
  EXPECT_EQ(req.substr(0, 21), "GET http://127.0.0.1:");
  EXPECT_NE(req.find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ="), std::string::npos);

  // A body over the budget is refused.
  TMemoryStream body;
  TWebAddress w;
  ASSERT_TRUE(ParseWebAddress("http://127.0.0.1:" + std::to_string(proxy.Port()) + "/img.bmp", w));
  TPXIOResultRec why;
  EXPECT_FALSE(FetchWebAddress(w, {}, static_cast<int64_t>(bmp.size()) - 1, body, &why));
  EXPECT_EQ(why.Kind, iorTooLarge) << why.Text;
  EXPECT_TRUE(FetchWebAddress(w, {}, static_cast<int64_t>(bmp.size()), body));
  EXPECT_EQ(body.Size(), static_cast<int64_t>(bmp.size()));
}

// With AsyncMode on, the fetch and the decode run on a worker.
TEST(LoadFromURLThread, RunsOnAWorker) {
  if (!kHaveCurl) GTEST_SKIP() << "built without libcurl";
  TLoopbackServer server(SmallBMP());
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  std::atomic<bool> onWorker{false};
  io.OnFinishWork = [&](TObject*) { onWorker = io.IsInsideThread(); };
  io.LoadFromURL("http://127.0.0.1:" + std::to_string(server.Port()) + "/img.bmp");
  io.WaitThreads(false);
  EXPECT_TRUE(onWorker.load());
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(target.Width(), 3);
  io.SetAttachedPXBitmap(nullptr);
}

// Without libcurl a web load ends iorUnsupported, naming the address and
// the missing library; nothing is requested and the image stays.
TEST(LoadFromURL, UnsupportedWithoutLibcurl) {
  if (kHaveCurl) GTEST_SKIP() << "built with libcurl";
  TLoopbackServer server(SmallBMP());
  TPixoranIO io;
  ASSERT_TRUE(io.PXBitmap()->Allocate(5, 4, pxBGR24));
  int finished = 0;
  io.OnFinishWork = [&](TObject*) { ++finished; };
  io.LoadFromURL("http://127.0.0.1:" + std::to_string(server.Port()) + "/img.bmp");
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorUnsupported) << io.LastResultText();
  EXPECT_NE(io.LastResultText().find("127.0.0.1"), std::string::npos) << io.LastResultText();
  EXPECT_NE(io.LastResultText().find("libcurl"), std::string::npos) << io.LastResultText();
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(io.PXBitmap()->Width(), 5);
  EXPECT_EQ(io.PXBitmap()->Height(), 4);
  EXPECT_TRUE(server.Requests().empty());
}
