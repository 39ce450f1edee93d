#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

namespace vantrel {

// A table of an enumeration's names, one row per value in the enumeration's order, so that a
// value's name is found by its position: the one table of names of a kind.
template <class Enum, std::size_t N>
using NameTable = std::array<std::pair<Enum, std::string_view>, N>;

// Whether every row sits at its value's position: checked at compile time by each table.
template <class Enum, std::size_t N>
[[nodiscard]] constexpr bool rows_in_enum_order(const NameTable<Enum, N>& table) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(table[i].first) != i) return false;
  }
  return true;
}

template <class Enum, std::size_t N>
[[nodiscard]] constexpr std::string_view name_in(const NameTable<Enum, N>& table,
                                                 Enum value) noexcept {
  return table[static_cast<std::size_t>(value)].second;
}

}  // namespace vantrel
