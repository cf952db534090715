#include "platform/hosted/machine/hosted_platform.h"

#include <cstring>
#include <functional>

#include "platform/hosted/machine/windows_errors.h"

namespace brindle {
namespace {

constexpr char kLocalMachine[] = "HKEY_LOCAL_MACHINE";

}  // namespace

ErrorCode HostedPlatform::Lookup(HKey handle, RegistryKey** key,
                                 SubkeyCursor** cursor) {
  if (cursor != nullptr) *cursor = nullptr;
  if (handle == HKEY_LOCAL_MACHINE) {
    *key = registry_.top.FindSubkey(kLocalMachine);
    // A registry without the root has nothing below it.
    return *key != nullptr ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
  std::size_t slot = OpenSlot(handle);
  if (slot == kNoSlot) return ERROR_INVALID_HANDLE;
  if (handles_[slot].deleted) return ERROR_KEY_DELETED;
  *key = handles_[slot].key;
  if (cursor != nullptr) *cursor = &handles_[slot].cursor;
  return ERROR_SUCCESS;
}

RegistryKey* HostedPlatform::FindBelow(const RegistryKey& key,
                                       const char* subKey,
                                       const SubkeyCursor* cursor) {
  // A walk by index mostly opens the subkey it was handed last.
  SubkeyCursor at = cursor ? *cursor : SubkeyCursor{};
  RegistryKey* handed = cursor ? key.SubkeyAt(at.index, &at) : nullptr;
  if (handed && EqualsAsciiFolded(handed->name(), subKey)) return handed;
  return FindKeyPath(key, subKey);
}

std::size_t HostedPlatform::OpenSlot(HKey handle) const {
  std::uintptr_t number = reinterpret_cast<std::uintptr_t>(handle);
  if (number == 0 || number > handles_.size() || !handles_[number - 1].open) {
    return kNoSlot;
  }
  return number - 1;
}

ErrorCode HostedPlatform::RegOpenKeyExA(HKey parent, const char* subKey,
                                        std::uint32_t, std::uint32_t,
                                        HKey* result) {
  RegistryKey* key = nullptr;
  SubkeyCursor* cursor = nullptr;
  if (ErrorCode error = Lookup(parent, &key, &cursor)) return error;
  if (subKey != nullptr && *subKey != '\0') {
    key = FindBelow(*key, subKey, cursor);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  }
  std::size_t slot;
  if (!freeHandles_.empty()) {
    slot = freeHandles_.back();
    freeHandles_.pop_back();
  } else {
    slot = handles_.size();
    handles_.emplace_back();
  }
  handles_[slot] = Handle{key, true, false, SubkeyCursor{}};
  ++openHandles_;
  *result = reinterpret_cast<HKey>(static_cast<std::uintptr_t>(slot + 1));
  return ERROR_SUCCESS;
}

ErrorCode HostedPlatform::RegEnumKeyExA(HKey handle, std::uint32_t index,
                                        char* name, std::uint32_t* nameLength) {
  RegistryKey* key = nullptr;
  SubkeyCursor* cursor = nullptr;
  if (ErrorCode error = Lookup(handle, &key, &cursor)) return error;
  const RegistryKey* subkey = key->SubkeyAt(index, cursor);
  if (subkey == nullptr) return ERROR_NO_MORE_ITEMS;
  std::string_view found = subkey->name();
  if (found.size() + 1 > *nameLength) return ERROR_MORE_DATA;
  std::memcpy(name, found.data(), found.size());
  name[found.size()] = '\0';
  *nameLength = static_cast<std::uint32_t>(found.size());
  return ERROR_SUCCESS;
}

ErrorCode HostedPlatform::RegQueryValueExA(HKey handle, const char* valueName,
                                           std::uint8_t* data,
                                           std::uint32_t* dataSize) {
  RegistryKey* key = nullptr;
  if (ErrorCode error = Lookup(handle, &key)) return error;
  std::optional<RegistryValue> value =
      key->FindValue(valueName != nullptr ? valueName : "");
  if (!value) return ERROR_FILE_NOT_FOUND;
  std::uint32_t size = static_cast<std::uint32_t>(value->data.size());
  if (data != nullptr) {
    if (size > *dataSize) {
      *dataSize = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, value->data.data(), size);
  }
  *dataSize = size;
  return ERROR_SUCCESS;
}

ErrorCode HostedPlatform::RegSetValueExA(HKey handle, const char* valueName,
                                         std::uint32_t type,
                                         const std::uint8_t* data,
                                         std::uint32_t dataSize) {
  RegistryKey* key = nullptr;
  if (ErrorCode error = Lookup(handle, &key)) return error;
  registry_.SetValue(
      *key, valueName != nullptr ? valueName : "", type,
      std::string_view(reinterpret_cast<const char*>(data), dataSize));
  return handle == HKEY_LOCAL_MACHINE ? Commit() : ERROR_SUCCESS;
}

ErrorCode HostedPlatform::RegDeleteKeyA(HKey handle, const char* subKey) {
  RegistryKey* key = nullptr;
  SubkeyCursor* cursor = nullptr;
  if (ErrorCode error = Lookup(handle, &key, &cursor)) return error;
  if (subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  RegistryKey* doomed = FindBelow(*key, subKey, cursor);
  if (doomed == nullptr) return ERROR_FILE_NOT_FOUND;
  // A delete made on the root itself is committed before the call returns,
  // and not made when it cannot be; those made through open keys when the
  // last of them is closed.
  std::function<std::uint32_t()> journal;
  if (handle == HKEY_LOCAL_MACHINE) journal = [this] { return Commit(); };
  RegistryKey* parent = doomed->parent();
  if (ErrorCode error = registry_.DeleteKey(*doomed, journal)) return error;
  // Handles below the key now name a deleted key; enumerations of its
  // parent past it stand one index lower.
  for (Handle& open : handles_) {
    if (!open.open || open.deleted) continue;
    if (!open.key->attached()) {
      open.deleted = true;
    } else if (open.key == parent && open.cursor.slot > doomed->slot()) {
      --open.cursor.index;
    }
  }
  return ERROR_SUCCESS;
}

ErrorCode HostedPlatform::RegCloseKey(HKey handle) {
  if (handle == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::size_t slot = OpenSlot(handle);
  if (slot == kNoSlot) return ERROR_INVALID_HANDLE;
  handles_[slot] = Handle{};
  freeHandles_.push_back(slot);
  --openHandles_;
  return Commit();
}

ErrorCode HostedPlatform::Commit() {
  return log_ == nullptr || openHandles_ != 0 ? ERROR_SUCCESS : log_->Commit();
}

int HostedPlatform::FileResult(ErrorCode error) {
  if (error == ERROR_SUCCESS) return 1;
  lastError_ = error;
  return 0;
}

int HostedPlatform::CopyFileA(const char* existingName, const char* newName,
                              int failIfExists) {
  std::uint32_t attributes = 0;
  if (failIfExists != 0 &&
      drive_.GetAttributes(newName, &attributes) == ERROR_SUCCESS) {
    return FileResult(ERROR_FILE_EXISTS);
  }
  return FileResult(drive_.CopyFile(existingName, newName));
}

int HostedPlatform::DeleteFileA(const char* path) {
  return FileResult(drive_.DeleteFile(path));
}

std::uint32_t HostedPlatform::GetFileAttributesA(const char* path) {
  std::uint32_t attributes = 0;
  if (FileResult(drive_.GetAttributes(path, &attributes)) == 0) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

int HostedPlatform::CreateDirectoryA(const char* path) {
  return FileResult(drive_.CreateDirectory(path));
}

std::uint32_t HostedPlatform::FormatMessageA(std::uint32_t, ErrorCode messageId,
                                             std::uint32_t, char** buffer) {
  const char* text = SystemText(messageId);
  if (text == nullptr) {
    *buffer = nullptr;
    return 0;
  }
  // Windows ends its texts in CRLF; a POSIX console gets a POSIX line end.
  std::size_t length = std::strlen(text);
  char* copy = new char[length + 2];
  std::memcpy(copy, text, length);
  copy[length] = '\n';
  copy[length + 1] = '\0';
  *buffer = copy;
  return static_cast<std::uint32_t>(length + 1);
}

void HostedPlatform::LocalFree(char* buffer) { delete[] buffer; }

}  // namespace brindle
