#include "engine/reg_grid.h"

namespace fastlic {

namespace {

std::size_t pages(std::size_t bytes) {
    constexpr std::size_t page = 4096;
    return (bytes + page - 1) / page * page;
}

// Where each array starts in the grid's storage, and the whole size.
struct Layout {
    Layout(std::int32_t rows, std::int32_t cols, bool withVectors) {
        const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
        hits = pages(withVectors ? cells * sizeof(Vector) : 0);
        texture = hits + pages(cells * sizeof(std::int32_t));
        sums = texture + pages(cells * sizeof(std::int32_t));
        total = sums + pages(cells * sizeof(double));
    }
    std::size_t hits, texture, sums, total;
};

}  // namespace

// Fresh pages are zero: zero vectors, counts, texture, sums.
RegGrid::RegGrid(std::int32_t rows_, std::int32_t cols_, bool withVectors)
    : storage(Layout(rows_, cols_, withVectors).total),
      rows(rows_),
      cols(cols_),
      vectors(withVectors ? rows_ : 0, withVectors ? cols_ : 0, storage.data()),
      hitCounts(rows_, cols_, storage.data() + Layout(rows_, cols_, withVectors).hits),
      texture(rows_, cols_, storage.data() + Layout(rows_, cols_, withVectors).texture),
      licSums(rows_, cols_, storage.data() + Layout(rows_, cols_, withVectors).sums) {}

}  // namespace fastlic
