// Lists threaded through numbers, as both registry forms keep a key's
// subkeys and spans while they read a file: each item holds the number of
// the one after it, all-ones ending the list.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_THREADED_LIST_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_THREADED_LIST_H_

#include <cstdint>
#include <vector>

namespace brindle {

/// The number that ends a list, and stands for no item.
constexpr std::uint32_t kEndOfList = 0xFFFFFFFFu;

/// Puts item `item` of `items` at the end of the list whose first item's
/// number is kept in `first` and whose last one so far is `last`
/// (kEndOfList while the list is empty); `next` is the member in which an
/// item keeps the number of the one after it.
template <typename Item>
void LinkAtEnd(std::uint32_t item, std::uint32_t& first, std::uint32_t& last,
               std::vector<Item>& items, std::uint32_t Item::*next) {
  if (last == kEndOfList) {
    first = item;
  } else {
    items[last].*next = item;
  }
  last = item;
}

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_THREADED_LIST_H_
