// Environment and registry: the process environment, and values and keys of
// the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Reads an environment variable of this process the way GetEnvironmentVariableW
// does with a buffer of |buffer_chars| characters: returns 0 when the variable is
// unset or empty, a number of |buffer_chars| or more when the value does not fit
// (|value| is then left empty), otherwise the value's length with |value| filled.
size_t ReadProcessEnvironment(const std::wstring& name, size_t buffer_chars, std::wstring* value);

enum class RegistryRoot { kLocalMachine, kCurrentUser };

// Reads a REG_SZ or REG_EXPAND_SZ value into a buffer of |buffer_bytes| bytes
// (terminating NUL included). An expandable value comes back unexpanded, as it
// is stored. Returns false with the system error code when the key or value is
// absent, of another type, larger than the buffer, or unreadable.
bool ReadRegistryString(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                        size_t buffer_bytes, std::wstring* value, uint32_t* error_code);

// Writes |value| as a REG_SZ value, making the key when missing.
bool WriteRegistryString(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                         const std::wstring& value, uint32_t* error_code);

// Writes |value| as a REG_DWORD value, making the key when missing.
bool WriteRegistryDword(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name, uint32_t value,
                        uint32_t* error_code);

// Deletes a value, or a key with everything below it (RegDeleteTreeW and the
// key itself); one that is not there counts as deleted.
bool DeleteRegistryValue(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                         uint32_t* error_code);
bool DeleteRegistryKey(RegistryRoot root, const std::wstring& subkey, uint32_t* error_code);

}  // namespace platform
