// The records one read of an input stream delivered, owned until each has been
// copied out, so that every record is freed whichever way the read ends.
#pragma once

#include <cstddef>
#include <vector>

#include "sluice/records.h"

namespace hostlib {
namespace multimedia {

class DeliveredRecords {
 public:
  DeliveredRecords() = default;
  ~DeliveredRecords() {
    for (void* record : records) sluice::releaseDeliveredRecord(record);
  }
  DeliveredRecords(DeliveredRecords const&) = delete;
  DeliveredRecords& operator=(DeliveredRecords const&) = delete;

  std::vector<void*>& list() { return records; }
  void release(std::size_t index) {
    sluice::releaseDeliveredRecord(records[index]);
    records[index] = nullptr;
  }

 private:
  std::vector<void*> records;
};

}  // namespace multimedia
}  // namespace hostlib
