#include "engine/step_table.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "base/parallel.h"
#include "engine/boundary.h"
#include "engine/seed_kernel.h"

namespace fastlic {

std::int32_t reachCellsOf(const LicParams& params) {
    const double reach = static_cast<double>(params.reach()) * params.step;
    return static_cast<std::int32_t>(std::floor(reach * (1.0 + 1e-12) + 1e-9)) + 1;
}

bool StepTable::fits(const LicParams& params, std::int32_t rows, std::int32_t cols) {
    // Oriented and linear traces sample the field itself.
    if (params.interpolation != Interpolation::nearest || params.orientation ||
        params.rowBoundary != Boundary::periodic ||
        params.colBoundary != Boundary::periodic)
        return false;
    const std::int64_t pad = static_cast<std::int64_t>(reachCellsOf(params)) + 1;
    return detail::lockstepFits(rows, cols, pad);
}

StepTable::StepTable(const LicParams& params, std::int32_t rows, std::int32_t cols)
    : params_(params), rows_(rows), cols_(cols), pad_(reachCellsOf(params) + 1), stride_(cols + 2 * pad_),
      step_(params.step),
      table_(static_cast<std::size_t>(rows + 2 * pad_) * static_cast<std::size_t>(stride_)) {
    if (!fits(params, rows, cols)) throw std::logic_error("StepTable: the run does not fit a step table");
}

void StepTable::finish(int threads) {
    const FieldView shape{rows_, cols_, {}, {}, {}, {}};
    const detail::Halo halo(Bounds(shape, params_), pad_);
    Direction* table = table_.data();
    const auto line = [&](std::int32_t pr) { return table + static_cast<std::size_t>(pr) * stride_; };
    // The side columns of the grid's own rows, then the rows above and below
    // from those whole rows.
    parallelFor(rows_, 256, threads, [&](std::int64_t begin, std::int64_t end) {
        for (auto r = static_cast<std::int32_t>(begin); r < end; ++r) {
            Direction* l = line(r + pad_);
            for (std::int32_t pc = 0; pc < stride_; ++pc)
                if (pc < pad_ || pc >= pad_ + cols_) l[pc] = l[pad_ + halo.colOf[static_cast<std::size_t>(pc)]];
        }
    });
    const std::int32_t paddedRows = rows_ + 2 * pad_;
    for (std::int32_t pr = 0; pr < paddedRows; ++pr)
        if (pr < pad_ || pr >= pad_ + rows_)
            std::copy_n(line(pad_ + halo.rowOf[static_cast<std::size_t>(pr)]), stride_, line(pr));
}

}  // namespace fastlic
