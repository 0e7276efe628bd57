#include "engine/boundary.h"

#include <algorithm>

namespace fastlic {

namespace {

// For each index c of axis a, out[c x stride]: whether flag(t, cell) holds
// for any halo index t in c - d..c + d, cell being the one t stands for.
template <typename Flag>
void anyWithin(const Axis& a, std::int32_t d, Flag flag, std::vector<std::int32_t>& prefix, std::uint8_t* out,
               std::ptrdiff_t stride) {
    prefix.resize(static_cast<std::size_t>(a.n) + 2 * static_cast<std::size_t>(d) + 1);
    prefix[0] = 0;
    const auto at = [&](std::int32_t k) -> std::int32_t& { return prefix[static_cast<std::size_t>(k)]; };
    for (std::int32_t t = -d; t < a.n + d; ++t) at(t + d + 1) = at(t + d) + (flag(t, a.haloCell(t)) ? 1 : 0);
    for (std::int32_t c = 0; c < a.n; ++c) out[c * stride] = at(c + 2 * d + 1) > at(c);
}

}  // namespace

std::vector<std::uint8_t> Bounds::nearExterior(std::int32_t d) const {
    std::vector<std::int32_t> prefix;
    const auto edges = [&](const Axis& a) {
        std::vector<std::uint8_t> near(static_cast<std::size_t>(a.n));
        const auto flag = [&](std::int32_t, std::int32_t cell) { return cell < 0; };
        anyWithin(a, d, flag, prefix, near.data(), 1);
        return near;
    };
    const std::vector<std::uint8_t> nearRowEdge = edges(rows), nearColEdge = edges(cols);
    const auto marked = [](const std::vector<std::uint8_t>& v) {
        return std::find(v.begin(), v.end(), 1) != v.end();
    };
    if (!mask.data && !marked(nearRowEdge) && !marked(nearColEdge)) return {};

    const std::size_t stride = static_cast<std::size_t>(cols.n);
    std::vector<std::uint8_t> near(static_cast<std::size_t>(rows.n) * stride);
    if (mask.data) {
        // Masked cells within d along the row, then those rows within d.
        std::vector<std::uint8_t> across(near.size());
        for (std::int32_t i = 0; i < rows.n; ++i)
            anyWithin(cols, d, [&](std::int32_t, std::int32_t j) { return j >= 0 && mask(i, j); }, prefix,
                      across.data() + i * stride, 1);
        for (std::int32_t j = 0; j < cols.n; ++j)
            anyWithin(rows, d, [&](std::int32_t, std::int32_t i) { return i >= 0 && across[i * stride + j]; },
                      prefix, near.data() + j, static_cast<std::ptrdiff_t>(stride));
    }
    for (std::int32_t i = 0; i < rows.n; ++i)
        for (std::int32_t j = 0; j < cols.n; ++j)
            near[i * stride + j] |=
                nearRowEdge[static_cast<std::size_t>(i)] | nearColEdge[static_cast<std::size_t>(j)];
    return near;
}

namespace detail {

Halo::Halo(const Bounds& b, std::int32_t padding) : pad(padding) {
    rowOf.resize(static_cast<std::size_t>(b.rows.n + 2 * pad));
    colOf.resize(static_cast<std::size_t>(b.cols.n + 2 * pad));
    rowStart.resize(rowOf.size());
    for (std::size_t p = 0; p < rowOf.size(); ++p) {
        rowOf[p] = b.rows.haloCell(static_cast<std::int32_t>(p) - pad);
        rowStart[p] = rowOf[p] * b.cols.n;
    }
    for (std::size_t p = 0; p < colOf.size(); ++p) colOf[p] = b.cols.haloCell(static_cast<std::int32_t>(p) - pad);
}

}  // namespace detail

}  // namespace fastlic
