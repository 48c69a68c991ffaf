#include "platform/environment.h"

#include "fake_state.h"

namespace platform {
namespace {

std::wstring RegistryPath(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name) {
  const std::wstring hive = root == RegistryRoot::kLocalMachine ? L"HKLM" : L"HKCU";
  return hive + L"\\" + subkey + L"\\" + value_name;
}

}  // namespace

size_t ReadProcessEnvironment(const std::wstring& name, size_t buffer_chars, std::wstring* value) {
  value->clear();
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  uint32_t error_code = 0;
  if (fake::RecordCall(world, "ReadProcessEnvironment", fake::Narrow(name), &error_code)) return 0;
  const auto found = world.environment.find(fake::LowerAscii(name));
  if (found == world.environment.end() || found->second.empty()) return 0;
  // Too long: the size needed, terminating NUL included, as Windows reports it.
  if (found->second.size() >= buffer_chars) return found->second.size() + 1;
  *value = found->second;
  return value->size();
}

bool ReadRegistryString(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                        size_t buffer_bytes, std::wstring* value, uint32_t* error_code) {
  value->clear();
  const std::wstring path = RegistryPath(root, subkey, value_name);
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "ReadRegistryString", fake::Narrow(path), error_code)) return false;
  const auto found = world.registry_values.find(fake::LowerAscii(path));
  if (found == world.registry_values.end()) {
    *error_code = fake::kErrorFileNotFound;
    return false;
  }
  if (found->second.type == fake::RegistryType::kDword) {
    *error_code = fake::kErrorUnsupportedType;
    return false;
  }
  // Stored as UTF-16 with a terminating NUL: two bytes a character.
  if ((found->second.data.size() + 1) * 2 > buffer_bytes) {
    *error_code = fake::kErrorMoreData;
    return false;
  }
  *value = found->second.data;
  return true;
}

bool WriteRegistryString(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                         const std::wstring& value, uint32_t* error_code) {
  const std::wstring path = RegistryPath(root, subkey, value_name);
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "WriteRegistryString", fake::Narrow(path) + "=" + fake::Narrow(value), error_code)) {
    return false;
  }
  world.registry_values[fake::LowerAscii(path)] = fake::RegistryValue{fake::RegistryType::kString, value};
  return true;
}

bool WriteRegistryDword(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name, uint32_t value,
                        uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  const std::wstring path = RegistryPath(root, subkey, value_name);
  if (fake::RecordCall(world, "WriteRegistryDword", fake::Narrow(path), error_code)) return false;
  world.registry_values[fake::LowerAscii(path)] = fake::RegistryValue{fake::RegistryType::kDword, std::to_wstring(value)};
  return true;
}

bool DeleteRegistryValue(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                         uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  const std::wstring path = RegistryPath(root, subkey, value_name);
  if (fake::RecordCall(world, "DeleteRegistryValue", fake::Narrow(path), error_code)) return false;
  world.registry_values.erase(fake::LowerAscii(path));
  return true;
}

bool DeleteRegistryKey(RegistryRoot root, const std::wstring& subkey, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  const std::wstring prefix = fake::LowerAscii(RegistryPath(root, subkey, L""));
  if (fake::RecordCall(world, "DeleteRegistryKey", fake::Narrow(prefix), error_code)) return false;
  for (auto it = world.registry_values.begin(); it != world.registry_values.end();) {
    it = it->first.rfind(prefix, 0) == 0 ? world.registry_values.erase(it) : std::next(it);
  }
  return true;
}

}  // namespace platform

namespace platform::fake {

bool RegistryValueExists(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name) {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().registry_values.count(LowerAscii(RegistryPath(root, subkey, value_name))) != 0;
}

void SetProcessEnvironment(const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().environment[LowerAscii(name)] = value;
}

void SetRegistryValue(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                      const std::wstring& data, RegistryType type) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().registry_values[LowerAscii(RegistryPath(root, subkey, value_name))] = RegistryValue{type, data};
}

}  // namespace platform::fake
