// A request read by the message catalogue's fields, for the answers and the link alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/catalogue.h"

namespace orn::sim {

struct Request;

// A request as the message catalogue reads it. Handlers take fields by name, so where the host
// puts what is written down in one place (src/link/catalogue.cpp), for the dumps, the log reader
// and the simulator alike. A field the request does not reach reads as empty (or 0).
class RequestFields {
  public:
    explicit RequestFields(const Request& request);
    RequestFields(const std::string& id, const std::string& payload);

    // The catalogue's name of the message ("binary MAC"), empty when it has none.
    const std::string& Message() const { return message_; }
    std::string Text(const char* name) const;
    // The first character, '\0' when there is none.
    char Char(const char* name) const;
    // A binary field as a big-endian number.
    uint32_t Number(const char* name) const;

  private:
    std::string payload_;
    std::string message_;
    std::vector<catalogue::Field> fields_;
};

}  // namespace orn::sim
