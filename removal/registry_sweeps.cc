#include "removal/registry_sweeps.h"

#include <cstring>

#include "catalogue/catalogue.h"

namespace brindle {
namespace {

// Builds head + name into `path`, or returns false when it would not fit.
bool BuildParentPath(const char* head, const char* name,
                     char (&path)[NameBufferSize]) {
  std::size_t headLength = std::strlen(head);
  std::size_t nameLength = std::strlen(name);
  if (headLength + nameLength + 1 > NameBufferSize) return false;
  std::memcpy(path, head, headLength);
  std::memcpy(path + headLength, name, nameLength + 1);
  return true;
}

// Opens the parent of a sweep; false (after reporting anything but absence)
// when there is nothing to walk.
bool OpenParent(Platform& platform, Console& console, const char* head,
                const char* name, const char* failureLine, HKey* parent) {
  char path[NameBufferSize];
  ErrorCode result = ERROR_INVALID_PARAMETER;
  if (BuildParentPath(head, name, path)) {
    result = platform.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0,
                                    KEY_ENUMERATE_SUB_KEYS, parent);
  }
  if (result == ERROR_SUCCESS) return true;
  if (result != ERROR_FILE_NOT_FOUND) {
    console.Print(failureLine, name);
    console.PrintSystemError(result);
  }
  return false;
}

// Enumerates the subkey at `index` into `name`, always NUL-terminated.
ErrorCode EnumerateSubkey(Platform& platform, HKey parent, std::uint32_t index,
                          char (&name)[NameBufferSize]) {
  std::uint32_t capacity = NameBufferSize;
  ErrorCode result = platform.RegEnumKeyExA(parent, index, name, &capacity);
  if (result == ERROR_SUCCESS) {
    name[capacity < NameBufferSize ? capacity : NameBufferSize - 1] = '\0';
  }
  return result;
}

// Reads a value as text into `buffer`. Returns the call's result; `*isText`
// tells whether the bytes returned held their own NUL.
ErrorCode QueryText(Platform& platform, HKey key, const char* valueName,
                    char (&buffer)[NameBufferSize], bool* isText) {
  std::uint32_t size = NameBufferSize;
  ErrorCode result = platform.RegQueryValueExA(
      key, valueName, reinterpret_cast<std::uint8_t*>(buffer), &size);
  if (result != ERROR_SUCCESS) return result;
  if (size > NameBufferSize) size = NameBufferSize;
  *isText = std::memchr(buffer, '\0', size) != nullptr;
  // Nothing past the bytes returned is read: a value without its NUL is cut.
  if (!*isText)
    buffer[size < NameBufferSize ? size : NameBufferSize - 1] = '\0';
  return result;
}

// The lines a sweep prints, for the enumerator walk or the class walk.
struct SweepTexts {
  const char* head;
  const char* openFailure;
  const char* deleted;
  const char* deleteFailure;
  const char* enumerateFailure;
  const char* closeFailure;
};

constexpr SweepTexts kEnumTexts = {EnumKeyHead,
                                   "Can not open the enum key '%s'.\n",
                                   "Deleted key : %s enum for %s\n",
                                   "\nCan not delete %s enum for %s\n",
                                   "Can not enumerate the enum key '%s'.\n",
                                   "Can not close the enum key.\n"};

constexpr SweepTexts kClassTexts = {ClassKeyHead,
                                    "Can not open the class key '%s'.\n",
                                    "Deleted key : %s driver for %s\n",
                                    "\nCan not delete %s driver for %s\n",
                                    "Can not enumerate the class key '%s'.\n",
                                    "Can not close the class key.\n"};

// Deletes the subkey `name` from the open parent the walk is on; a success
// takes the index back by one, as the later subkeys moved down one place.
void DeleteWhileWalking(Platform& platform, Console& console,
                        const SweepTexts& texts, HKey parent, const char* name,
                        const char* parentName, const char* subject,
                        std::uint32_t* index) {
  ErrorCode deleted = platform.RegDeleteKeyA(parent, name);
  if (deleted == ERROR_SUCCESS) {
    console.Print(texts.deleted, parentName, subject);
    --*index;
  } else {
    console.Print(texts.deleteFailure, parentName, subject);
    console.PrintSystemError(deleted);
  }
}

// Reports a walk that ended on anything but its end, and closes the parent.
void FinishWalk(Platform& platform, Console& console, const SweepTexts& texts,
                const char* parentName, ErrorCode ended, HKey parent) {
  if (ended != ERROR_NO_MORE_ITEMS) {
    console.Print(texts.enumerateFailure, parentName);
    console.PrintSystemError(ended);
  }
  ErrorCode closed = platform.RegCloseKey(parent);
  if (closed != ERROR_SUCCESS) {
    console.Print(texts.closeFailure);
    console.PrintSystemError(closed);
  }
}

}  // namespace

void SweepEnumKeys(Platform& platform, Console& console, const char* enumerator,
                   const char* prefix) {
  HKey parent = nullptr;
  if (!OpenParent(platform, console, kEnumTexts.head, enumerator,
                  kEnumTexts.openFailure, &parent)) {
    return;
  }
  char name[NameBufferSize];
  std::uint32_t index = 0;
  ErrorCode result;
  while ((result = EnumerateSubkey(platform, parent, index++, name)) ==
         ERROR_SUCCESS) {
    if (std::strncmp(name, prefix, PrefixLength) != 0) continue;
    DeleteWhileWalking(platform, console, kEnumTexts, parent, name, enumerator,
                       name, &index);
  }
  FinishWalk(platform, console, kEnumTexts, enumerator, result, parent);
}

void SweepClassInstances(Platform& platform, Console& console,
                         const char* className, const char* provider) {
  HKey parent = nullptr;
  if (!OpenParent(platform, console, kClassTexts.head, className,
                  kClassTexts.openFailure, &parent)) {
    return;
  }
  char name[NameBufferSize];
  std::uint32_t index = 0;
  ErrorCode result;
  while ((result = EnumerateSubkey(platform, parent, index++, name)) ==
         ERROR_SUCCESS) {
    HKey instance = nullptr;
    ErrorCode opened =
        platform.RegOpenKeyExA(parent, name, 0, KEY_QUERY_VALUE, &instance);
    if (opened != ERROR_SUCCESS) {
      console.Print("Can not open the class instance '%s\\%s'.\n", className,
                    name);
      console.PrintSystemError(opened);
      continue;
    }
    char instanceProvider[NameBufferSize];
    bool providerIsText = false;
    ErrorCode read = QueryText(platform, instance, "ProviderName",
                               instanceProvider, &providerIsText);
    if (read != ERROR_SUCCESS) {
      console.Print("Can not get the name of the instance provider.\n");
      console.PrintSystemError(read);
      platform.RegCloseKey(instance);
      continue;
    }
    char description[NameBufferSize];
    bool descriptionIsText = false;
    if (QueryText(platform, instance, "DriverDesc", description,
                  &descriptionIsText) != ERROR_SUCCESS) {
      std::strcpy(description, "Unknown Device");
    }
    ErrorCode closed = platform.RegCloseKey(instance);
    if (closed != ERROR_SUCCESS) {
      console.Print("Can not close the instance '%s\\%s'.\n", className, name);
      console.PrintSystemError(closed);
    }
    // Bytes that are no string name no provider: what cannot be identified
    // is left alone.
    if (!providerIsText || std::strcmp(instanceProvider, provider) != 0) {
      continue;
    }
    DeleteWhileWalking(platform, console, kClassTexts, parent, name, className,
                       description, &index);
  }
  FinishWalk(platform, console, kClassTexts, className, result, parent);
}

}  // namespace brindle
