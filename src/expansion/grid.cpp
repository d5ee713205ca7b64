#include "expansion/grid.hpp"

#include <bit>
#include <cmath>
#include <cstddef>

#include "numerics/legendre.hpp"

namespace phasefit::expansion {
namespace {

// One unit in the last place below the nearest float to pi (0x40490FDB):
// the divisor that every stored angle was made with.
constexpr float kPiDivisor = std::bit_cast<float>(std::uint32_t{0x40490FDA});
static_assert(kPiDivisor == 3.1415925f);
static_assert(std::bit_cast<std::uint32_t>(forward_cone_cosine) == 0x3F7F069Eu);
static_assert(forward_cone_cosine == 0.9961947f);

}  // namespace

float degrees_from_cosine(float cosine) { return std::acos(cosine) * 180.0f / kPiDivisor; }

void build_quadrature_grid(QuadratureGrid& grid) {
  std::array<float, kConePoints> cone_nodes;
  std::array<float, kConePoints> cone_weights;
  std::array<float, kSidePoints> side_nodes;
  std::array<float, kSidePoints> side_weights;

  const float x0 = forward_cone_cosine;
  numerics::gauleg(x0, 1.0f, cone_nodes, cone_weights, kConePoints);
  numerics::gauleg(0.0f, x0, side_nodes, side_weights, kSidePoints);

  // 1-based views of the grid and the two rules, so the assignments below
  // read as the construction does: points 1..100 and 901..1000 are the
  // mirrored cone, 101..500 and 501..900 the mirrored side rule.
  auto weight = [&grid](int p) -> float& {
    return grid.weight_grid[static_cast<std::size_t>(p - 1)];
  };
  auto mu = [&grid](int p) -> float& { return grid.mu_grid[static_cast<std::size_t>(p - 1)]; };
  auto cone_node = [&cone_nodes](int k) { return cone_nodes[static_cast<std::size_t>(k - 1)]; };
  auto cone_weight = [&cone_weights](int k) {
    return cone_weights[static_cast<std::size_t>(k - 1)];
  };
  auto side_node = [&side_nodes](int k) { return side_nodes[static_cast<std::size_t>(k - 1)]; };
  auto side_weight = [&side_weights](int k) {
    return side_weights[static_cast<std::size_t>(k - 1)];
  };

  for (int i = 1; i <= kConePoints; ++i) {
    weight(i) = cone_weight(101 - i);
    mu(i) = -cone_node(101 - i);
    weight(1001 - i) = cone_weight(101 - i);
    mu(1001 - i) = cone_node(101 - i);
  }
  // The weight index runs forward while the node index runs backward; the
  // rule's weights are symmetric bit for bit, so each point still carries
  // its own node's weight.
  for (int i = 1; i <= kSidePoints; ++i) {
    weight(100 + i) = side_weight(i);
    mu(100 + i) = -side_node(401 - i);
    weight(901 - i) = side_weight(i);
    mu(901 - i) = side_node(401 - i);
  }
  for (std::size_t i = 0; i < grid.theta_grid.size(); ++i)
    grid.theta_grid[i] = degrees_from_cosine(grid.mu_grid[i]);
}

}  // namespace phasefit::expansion
