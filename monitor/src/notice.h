// Sending the notice to the station, and the monitor's single-instance lock.
#pragma once

#include <string>
#include <string_view>

namespace dorvel {

class NoticeSender {
  public:
    explicit NoticeSender(std::string socket_path) : path_(std::move(socket_path)) {}
    ~NoticeSender();
    NoticeSender(const NoticeSender&) = delete;
    NoticeSender& operator=(const NoticeSender&) = delete;

    // Sends one datagram with exactly these bytes. false when there is no
    // station listening (or its queue stays full for a second): the notice is
    // dropped, never queued or retried.
    bool Send(std::string_view notice);

  private:
    std::string path_;
    int fd_ = -1;
};

enum class InstanceLock { Taken, HeldByAnother, Failed };

// Takes the exclusive lock on the file (created 0600 when missing). On Taken,
// *fd holds it for the life of the process.
InstanceLock TakeInstanceLock(const std::string& path, int* fd, std::string* error);

}  // namespace dorvel
