#include "engine/reg_grid.h"

namespace fastlic {

// The arrays value-initialise their cells: zero vectors, counts, texture, sums.
RegGrid::RegGrid(std::int32_t rows_, std::int32_t cols_, bool withVectors)
    : rows(rows_),
      cols(cols_),
      vectors(withVectors ? rows_ : 0, withVectors ? cols_ : 0),
      hitCounts(rows_, cols_),
      texture(rows_, cols_),
      licSums(rows_, cols_) {}

}  // namespace fastlic
