// A scripted TCP server for tests, on 127.0.0.1 with a port chosen by the
// kernel, on threads of its own, stopped by its destructor.
//
//   testsupport::TestTcpServer server;
//   server.script({TcpScript().waitForBytes(92).send(reply, {10, 50}, 0.01).close()});
//   ASSERT_TRUE(server.start());
//   ... client connects to 127.0.0.1:server.port() ...
//   server.waitForBytes(0, 92, 5.0);
//   std::string seen = server.received(0);       // connection 0's bytes
//
// Connection i runs script i (the last script again for later ones; none:
// only record). Every connection's bytes are recorded as they arrive,
// unless its script stops or slows the reading.
#ifndef TESTSUPPORT_TEST_TCP_SERVER_H
#define TESTSUPPORT_TEST_TCP_SERVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class TcpScript {
public:
    struct Step {
        enum Kind { Send, Pause, WaitForBytes, WaitForUnread, StopReading, ResumeReading, Close, Reset } kind;
        std::string bytes;
        double seconds = 0.0;
        std::size_t count = 0;
    };

    // Sends `bytes`, split into separate writes at the given offsets
    // (ascending) with `delaySeconds` between the pieces.
    TcpScript &send(std::string bytes, std::vector<std::size_t> splitAt = {}, double delaySeconds = 0.0);
    TcpScript &pause(double seconds);
    // Waits (at most 10 s) until this connection has received `count` bytes.
    TcpScript &waitForBytes(std::size_t count);
    // Waits (at most 10 s) until `count` bytes wait unread in the socket
    // (after stopReading: the client's bytes piling up).
    TcpScript &waitForUnread(std::size_t count);
    TcpScript &stopReading();
    TcpScript &resumeReading();
    // Closes the connection in order (FIN) or resets it (RST).
    TcpScript &close();
    TcpScript &reset();
    // Reads at most `chunkBytes` per read with `pauseSeconds` between reads.
    TcpScript &readSlowly(std::size_t chunkBytes, double pauseSeconds);

    std::vector<Step> steps;
    std::size_t readChunk = 0; // 0: read as fast as the data comes
    double readPause = 0.0;
};

class TestTcpServer {
public:
    TestTcpServer();
    ~TestTcpServer(); // stop()
    TestTcpServer(const TestTcpServer &) = delete;
    TestTcpServer &operator=(const TestTcpServer &) = delete;

    // Set before start().
    void script(std::vector<TcpScript> scripts);

    // Binds 127.0.0.1:0 and starts accepting; false when that fails.
    bool start();
    // Closes the listener: later connects are refused. Open connections go on.
    void refuseNew();
    // Closes everything and joins every thread. Idempotent.
    void stop();

    [[nodiscard]] std::uint16_t port() const;
    [[nodiscard]] std::size_t connectionCount() const;
    // Bytes received so far on connection `index` ("" when there is none).
    [[nodiscard]] std::string received(std::size_t index) const;
    // True once connection `index` has finished its script and (if it got
    // to the end of its steps) seen the client close.
    [[nodiscard]] bool finished(std::size_t index) const;

    bool waitForConnections(std::size_t count, double timeoutSeconds) const;
    bool waitForBytes(std::size_t index, std::size_t count, double timeoutSeconds) const;
    bool waitForFinished(std::size_t index, double timeoutSeconds) const;

private:
    struct Impl;
    std::shared_ptr<Impl> mImpl;
};

} // namespace testsupport

#endif // TESTSUPPORT_TEST_TCP_SERVER_H
