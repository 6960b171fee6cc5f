// The storage reader's UDP socket for one cycle: 5-second time-outs, bound to
// an ephemeral port, answers accepted only from the inverter's address.
#pragma once

#include <netinet/in.h>

#include <string>

#include "core/unique_fd.hpp"
#include "storage/storage_cycle.hpp"

namespace kivd::storage {

class UdpLink final : public Link {
 public:
  // Opens and binds the socket, logging each failing step. A socket whose
  // bound address cannot be read back ends the process (exit status 1).
  UdpLink(const StopFd& stop, const std::string& host, int port);

  bool send(std::span<const std::uint8_t> bytes) override;
  Recv receive(std::span<std::uint8_t> buf, std::size_t& n, Deadline until) override;

 private:
  const StopFd& stop_;
  UniqueFd fd_;
  sockaddr_in server_{};
  bool server_ok_ = false;
};

}  // namespace kivd::storage
