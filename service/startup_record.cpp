#include "startup_record.h"

#include <mutex>

namespace quorvane {
namespace {

struct StartupRecord {
  std::string service_start_time;
};

std::mutex g_record_lock;
StartupRecord g_record;

}  // namespace

void ResetStartupRecord(const std::string& start_time_utc) {
  std::lock_guard<std::mutex> guard(g_record_lock);
  g_record = StartupRecord();
  g_record.service_start_time = start_time_utc;
}

std::string ServiceStartTime() {
  std::lock_guard<std::mutex> guard(g_record_lock);
  return g_record.service_start_time;
}

}  // namespace quorvane
