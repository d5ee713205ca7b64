#pragma once
// Legendre polynomials by the three-term recurrence, and Gauss-Legendre
// quadrature rules. Single precision in and out; gauleg works in double
// inside.

#include <span>

namespace phasefit::numerics {

// Writes P_0(x) .. P_(term_count-1)(x) to poly[0 .. term_count-1].
// poly[0] and poly[1] are written on every call, so poly must hold at least
// max(term_count, 2) entries. No allocation.
void fleg(float x, std::span<float> poly, int term_count);

// Nodes and weights of the count-point Gauss-Legendre rule on [lower, upper]:
// nodes[0] nearest lower; weights[i] belongs to nodes[i] and
// weights[i] == weights[count-1-i] bit for bit. count <= 0 writes nothing.
// nodes and weights must hold count entries. No allocation.
void gauleg(float lower, float upper, std::span<float> nodes, std::span<float> weights, int count);

}  // namespace phasefit::numerics
