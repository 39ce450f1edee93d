#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

namespace vantrel {

// A table of an enumeration's names, one row per value in the enumeration's order, so that a
// value's name is found by its position: the one table of names of a kind. Every row is checked
// to sit at its value's position when the table is made, at compile time.
template <class Enum, std::size_t N>
class NameTable {
 public:
  using Row = std::pair<Enum, std::string_view>;

  consteval NameTable(const Row (&rows)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
      if (static_cast<std::size_t>(rows[i].first) != i) {
        throw "a row of the name table is not at its value's position";
      }
      rows_[i] = rows[i];
    }
  }

  [[nodiscard]] constexpr std::string_view name_of(Enum value) const noexcept {
    return rows_[static_cast<std::size_t>(value)].second;
  }
  [[nodiscard]] constexpr std::size_t size() const noexcept { return N; }
  [[nodiscard]] constexpr auto begin() const noexcept { return rows_.begin(); }
  [[nodiscard]] constexpr auto end() const noexcept { return rows_.end(); }

 private:
  std::array<Row, N> rows_{};
};

}  // namespace vantrel
