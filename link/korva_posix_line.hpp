// The line under a link: one non-blocking POSIX descriptor (a tty in raw
// 8N1 mode, a socket, or a pipe) that the line owns. A tty gets its settings
// back and every descriptor is closed when the line is destroyed, however
// its owner lets go of it. Errors throw std::system_error naming the line.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace korva::link {

using Duration = std::chrono::nanoseconds;

enum class LineKind : uint8_t { tty, socket, pipe };

class PosixLine {
public:
    PosixLine() = default;
    PosixLine(const PosixLine&) = delete;
    PosixLine& operator=(const PosixLine&) = delete;
    PosixLine(PosixLine&& other) noexcept { *this = std::move(other); }
    PosixLine& operator=(PosixLine&& other) noexcept;
    ~PosixLine() { close(); }

    // A tty by path, or a duplicate of an open tty descriptor (the caller's stays its own).
    static PosixLine open_tty(const std::string& path, unsigned baud);
    static PosixLine adopt_tty(int fd, const std::string& name, unsigned baud);
    // Takes over a connected socket or a pipe end.
    static PosixLine adopt(int fd, const std::string& name);

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    LineKind kind() const { return kind_; }

    // Non-blocking transfers: the byte count moved, 0 when the line has none to give or take.
    size_t read_some(uint8_t* dst, size_t len);
    size_t write_some(const uint8_t* data, size_t len);
    // Waits for the line to become readable and/or writable; false on timeout.
    bool wait(bool readable, bool writable, Duration timeout) const;
    // Throws the failure a read would meet once the other end is gone, so a
    // writer learns of it before it hands the line anything more.
    void check_other_end() const;
    // Bytes the driver still holds for the line (ttys only; 0 otherwise).
    size_t output_queued() const;
    void close() noexcept;

private:
    PosixLine(int fd, std::string name, LineKind kind) : fd_(fd), name_(std::move(name)), kind_(kind) {}
    void make_raw(unsigned baud);
    [[noreturn]] void fail(const char* what) const;
    [[noreturn]] void fail_other_end_gone() const;
    bool hung_up() const;

    int fd_ = -1;
    std::string name_;
    LineKind kind_ = LineKind::pipe;
    bool restore_ = false;
    termios saved_{};
};

// The termios constant for a rate in bits per second.
inline speed_t baud_constant(unsigned baud)
{
    static constexpr std::pair<unsigned, speed_t> rates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& [rate, constant] : rates) {
        if (rate == baud) {
            return constant;
        }
    }
    throw std::invalid_argument("unsupported baud rate: " + std::to_string(baud));
}

// How long a fragment may wait for its continuation: twenty character
// times (ten bits each) at the line's rate, and never under 10 ms.
inline Duration default_gap(unsigned baud)
{
    const Duration floor = std::chrono::milliseconds(10);
    const Duration twenty_chars = std::chrono::microseconds(200'000'000ULL / (baud == 0 ? 1 : baud));
    return twenty_chars > floor ? twenty_chars : floor;
}

inline PosixLine& PosixLine::operator=(PosixLine&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
        kind_ = other.kind_;
        restore_ = std::exchange(other.restore_, false);
        saved_ = other.saved_;
    }
    return *this;
}

inline PosixLine PosixLine::open_tty(const std::string& path, unsigned baud)
{
    baud_constant(baud); // refuse a bad rate before touching the device
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    PosixLine line(fd, path, LineKind::tty);
    if (fd < 0) {
        line.fail("cannot open");
    }
    line.make_raw(baud);
    return line;
}

inline PosixLine PosixLine::adopt_tty(int fd, const std::string& name, unsigned baud)
{
    baud_constant(baud);
    PosixLine line(::fcntl(fd, F_DUPFD_CLOEXEC, 0), name, LineKind::tty);
    if (!line.is_open()) {
        line.fail("cannot duplicate");
    }
    line.make_raw(baud);
    return line;
}

inline PosixLine PosixLine::adopt(int fd, const std::string& name)
{
    struct stat info {};
    const bool socket = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
    PosixLine line(fd, name, socket ? LineKind::socket : LineKind::pipe);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        line.fail("cannot configure");
    }
    return line;
}

// Raw 8N1 at `baud`, no flow control, reads that never block.
inline void PosixLine::make_raw(unsigned baud)
{
    if (!::isatty(fd_)) {
        errno = ENOTTY;
        fail("cannot use");
    }
    termios raw{};
    if (::tcgetattr(fd_, &saved_) != 0) {
        fail("cannot read the settings of");
    }
    raw = saved_;
    ::cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::cfsetispeed(&raw, baud_constant(baud));
    ::cfsetospeed(&raw, baud_constant(baud));
    if (::tcsetattr(fd_, TCSANOW, &raw) != 0) {
        fail("cannot configure");
    }
    restore_ = true;
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

inline size_t PosixLine::read_some(uint8_t* dst, size_t len)
{
    const ssize_t got = ::read(fd_, dst, len);
    if (got > 0) {
        return static_cast<size_t>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    if (got == 0) {
        // A raw tty with VMIN 0 reads nothing both when nothing came and
        // when its device is gone; only the latter is a hang-up.
        if (kind_ != LineKind::tty || hung_up()) {
            fail_other_end_gone();
        }
        return 0;
    }
    fail("cannot read from");
}

inline size_t PosixLine::write_some(const uint8_t* data, size_t len)
{
    // A vanished socket peer must not raise SIGPIPE in a host program.
    const ssize_t put = kind_ == LineKind::socket ? ::send(fd_, data, len, MSG_NOSIGNAL) : ::write(fd_, data, len);
    if (put >= 0) {
        return static_cast<size_t>(put);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return 0;
    }
    fail("cannot write to");
}

inline bool PosixLine::wait(bool readable, bool writable, Duration timeout) const
{
    pollfd entry{fd_, static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0)), 0};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    const int ready = ::poll(&entry, 1, ms < 0 ? 0 : static_cast<int>(ms));
    return ready > 0;
}

// A socket's peer that closed its end shows as read hang-up before any
// read meets the end of the stream.
inline void PosixLine::check_other_end() const
{
    pollfd entry{fd_, static_cast<short>(kind_ == LineKind::socket ? POLLRDHUP : 0), 0};
    if (::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0) {
        fail_other_end_gone();
    }
}

inline size_t PosixLine::output_queued() const
{
    int queued = 0;
    if (kind_ != LineKind::tty || ::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<size_t>(queued);
}

inline void PosixLine::close() noexcept
{
    if (fd_ < 0) {
        return;
    }
    if (restore_) {
        ::tcsetattr(fd_, TCSANOW, &saved_); // the other end may be gone; the descriptor still closes
        restore_ = false;
    }
    ::close(std::exchange(fd_, -1));
}

inline bool PosixLine::hung_up() const
{
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLHUP) != 0;
}

inline void PosixLine::fail_other_end_gone() const
{
    if (kind_ == LineKind::tty) {
        errno = EIO;
        fail("hang-up of");
    }
    errno = ECONNRESET;
    fail("connection closed by the other end of");
}

inline void PosixLine::fail(const char* what) const
{
    const int code = errno;
    throw std::system_error(code, std::generic_category(), std::string(what) + " " + name_);
}

} // namespace korva::link
