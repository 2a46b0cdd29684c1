// A receiver of what a transport reads: keeps the chunks in order, and after how many of them
// the device went away.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "link/transport.h"
#include "test_support.h"

namespace orn::test {

class ChunkRecorder : public IChunkSink, public Recorder<std::vector<uint8_t>> {
  public:
    void Receive(const uint8_t* data, uint32_t count) override { Add({data, data + count}); }
    // Called on the delivering thread, after its last Receive.
    void OnDeviceGone() override { goneAfter = static_cast<int>(Count()); }
    // Every byte received so far, in order.
    std::vector<uint8_t> Bytes() {
        std::vector<uint8_t> all;
        for (const auto& chunk : Items()) all.insert(all.end(), chunk.begin(), chunk.end());
        return all;
    }

    std::atomic<int> goneAfter{-1};  // -1 while the device is there
};

}  // namespace orn::test
