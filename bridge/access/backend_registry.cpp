// The process-wide choice of platform backend and the module handle kept at load.

#include <atomic>
#include <ctime>

#include "platform/backend.h"

namespace quillon::platform {
namespace {
std::atomic<Backend*> g_installed{nullptr};
std::atomic<void*> g_module{nullptr};
}  // namespace

Backend& CurrentBackend() {
  Backend* installed = g_installed.load(std::memory_order_acquire);
  return installed ? *installed : NativeBackend();
}

Backend* SetBackend(Backend* backend) { return g_installed.exchange(backend, std::memory_order_acq_rel); }

void SetModuleHandle(void* module) { g_module.store(module, std::memory_order_release); }
void* ModuleHandle() { return g_module.load(std::memory_order_acquire); }

LocalTime SystemLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
#if defined(_WIN32)
  localtime_s(&parts, &now);
#else
  localtime_r(&now, &parts);
#endif
  LocalTime t;
  t.year = parts.tm_year;
  t.month = parts.tm_mon;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  return t;
}

}  // namespace quillon::platform
