#include "corvatel/neldermead.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvatel/project.h"

namespace corvatel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using P1 = Point<1>;
using P2 = Point<2>;
using P3 = Point<3>;

// A cost that logs every point it is asked about. The log is shared, so the
// copies the minimiser makes report into it too.
template <std::size_t Dim>
class RecordingCost {
 public:
  explicit RecordingCost(std::function<double(const Point<Dim>&)> fn)
      : fn_(std::move(fn)), log_(std::make_shared<std::vector<Point<Dim>>>()) {}

  double cost(std::span<const double> point) const {
    Point<Dim> p;
    std::copy(point.begin(), point.end(), p.begin());
    log_->push_back(p);
    return fn_(p);
  }

  const std::vector<Point<Dim>>& evaluated() const { return *log_; }

 private:
  std::function<double(const Point<Dim>&)> fn_;
  std::shared_ptr<std::vector<Point<Dim>>> log_;
};

template <std::size_t Dim>
struct Entry {
  Point<Dim> point;
  double cost;
};

// Costs given point by point; any other point costs `otherwise`.
template <std::size_t Dim>
RecordingCost<Dim> table_cost(std::vector<Entry<Dim>> table, double otherwise = kNaN) {
  return RecordingCost<Dim>([table = std::move(table), otherwise](const Point<Dim>& p) {
    for (const auto& e : table) {
      if (e.point == p) return e.cost;
    }
    return otherwise;
  });
}

RecordingCost<2> sum_of_squares() {
  return RecordingCost<2>([](const P2& p) { return p[0] * p[0] + p[1] * p[1]; });
}

// The tests write points as arrays of N coordinates; a minimiser of
// dimension Dim (N, or kDynamicDim) takes and gives them as its Point<Dim>.
template <std::size_t Dim, std::size_t N>
Point<Dim> to_point(const std::array<double, N>& p) {
  if constexpr (Dim == kDynamicDim) {
    return Point<Dim>(p.begin(), p.end());
  } else {
    static_assert(Dim == N);
    return p;
  }
}

template <std::size_t Dim, std::size_t N>
std::vector<Point<Dim>> to_points(const std::vector<std::array<double, N>>& points) {
  std::vector<Point<Dim>> out;
  for (const auto& p : points) out.push_back(to_point<Dim>(p));
  return out;
}

// Back to N coordinates; a point of another length becomes NaNs, which
// compare unequal to everything.
template <std::size_t N, typename P>
std::array<double, N> as_array(const P& p) {
  std::array<double, N> out;
  out.fill(kNaN);
  if (p.size() == N) std::copy(p.begin(), p.end(), out.begin());
  return out;
}

template <std::size_t N, typename P>
std::optional<std::array<double, N>> as_array(const std::optional<P>& p) {
  if (!p) return std::nullopt;
  return as_array<N>(*p);
}

template <std::size_t N, std::size_t Dim>
void expect_vertices(std::span<const Vertex<Dim>> actual, const std::vector<Entry<N>>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("vertex " + std::to_string(i));
    EXPECT_EQ(as_array<N>(actual[i].point), expected[i].point);
    if (std::isnan(expected[i].cost)) {
      EXPECT_TRUE(std::isnan(actual[i].cost));
    } else {
      EXPECT_EQ(actual[i].cost, expected[i].cost);
    }
  }
}

std::string potential_bug_message() {
  return std::string("Potential bug: \"`NelderMead`: Reached unreachable point.\". This is potentially a bug. ") +
         "Please file a report on " + kIssueTrackerUrl;
}

// Each test of the minimiser's rules runs on a fixed dimension (TEST) and on
// kDynamicDim (the same body, in a suite named ...Dynamic).

template <std::size_t Dim>
void coefficients_and_default_tolerance() {
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P2>{{1, 0}, {0, 1}}));
  EXPECT_EQ(solver.reflection_coeff(), 1.0);
  EXPECT_EQ(solver.expansion_coeff(), 2.0);
  EXPECT_EQ(solver.contraction_coeff(), 0.5);
  EXPECT_EQ(solver.shrink_coeff(), 0.5);
  EXPECT_EQ(solver.convergence_tolerance(), 0x1p-52);
  for (const auto& v : solver.vertices()) EXPECT_TRUE(std::isnan(v.cost));
  solver.set_convergence_tolerance(1e-10);
  EXPECT_EQ(solver.convergence_tolerance(), 1e-10);
  EXPECT_TRUE(std::isnan(solver.range_tolerances().cost));
  EXPECT_TRUE(std::isnan(solver.range_tolerances().point));
}

TEST(NelderMeadSetup, CoefficientsAndDefaultTolerance) { coefficients_and_default_tolerance<2>(); }
TEST(NelderMeadSetupDynamic, CoefficientsAndDefaultTolerance) { coefficients_and_default_tolerance<kDynamicDim>(); }

template <std::size_t Dim>
void contract_moves_halfway_from_the_base() {
  const NelderMead<Dim> solver(to_points<Dim>(std::vector<P2>{{0, 0}, {1, 1}}));
  EXPECT_EQ(as_array<2>(solver.contract(to_point<Dim>(P2{1, 2}), to_point<Dim>(P2{3, -2}))), (P2{2, 0}));
}

TEST(NelderMeadSetup, ContractMovesHalfwayFromTheBase) { contract_moves_halfway_from_the_base<2>(); }
TEST(NelderMeadSetupDynamic, ContractMovesHalfwayFromTheBase) {
  contract_moves_halfway_from_the_base<kDynamicDim>();
}

// A dynamic simplex must have points of one, nonzero length.
TEST(NelderMeadSetupDynamic, RefusesPointsOfUnequalOrZeroLength) {
  const auto cost = sum_of_squares();
  for (const auto& points : std::vector<std::vector<std::vector<double>>>{{{1, 0}, {0}, {1, 1}}, {{}, {}}}) {
    Executor executor(cost, NelderMead<kDynamicDim>(points));
    const auto run = std::move(executor).run();
    ASSERT_FALSE(run.has_value());
    EXPECT_EQ(run.error(), SolverError::unequal_points());
    EXPECT_EQ(run.error().message(),
              "Invalid parameter: \"`NelderMead`: the points need the same, nonzero number of coordinates.\"");
    NelderMead<kDynamicDim> solver(points);
    IterState<kDynamicDim> state;
    const auto step = solver.next_iter(cost, state);
    ASSERT_FALSE(step.has_value());
    EXPECT_EQ(step.error(), SolverError::unequal_points());
  }
  EXPECT_TRUE(cost.evaluated().empty());
}

// f = x^2 + y^2 from (1,0), (0,1), (1,1): every value is exact in binary64.
template <std::size_t Dim>
void move_by_move() {
  const auto cost = sum_of_squares();
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P2>{{1, 0}, {0, 1}, {1, 1}}));
  IterState<Dim> state;

  solver.init(cost, state);
  state.update();
  EXPECT_EQ(cost.evaluated(), (std::vector<P2>{{1, 0}, {0, 1}, {1, 1}}));
  expect_vertices<2>(solver.vertices(), {{{1, 0}, 1}, {{0, 1}, 1}, {{1, 1}, 2}});
  EXPECT_EQ(as_array<2>(state.best_point), (P2{1, 0}));
  EXPECT_EQ(state.best_cost, 1.0);

  auto step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), Action::Expansion);
  EXPECT_EQ(cost.evaluated(), (std::vector<P2>{{1, 0}, {0, 1}, {1, 1}, {0, 0}, {-0.5, -0.5}}));
  expect_vertices<2>(solver.vertices(), {{{0, 0}, 0}, {{1, 0}, 1}, {{0, 1}, 1}});
  state.update();
  EXPECT_EQ(as_array<2>(state.point), (P2{0, 0}));
  EXPECT_EQ(as_array<2>(state.best_point), (P2{0, 0}));
  EXPECT_EQ(state.best_cost, 0.0);

  step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), Action::ContractionInside);
  EXPECT_EQ(cost.evaluated(),
            (std::vector<P2>{{1, 0}, {0, 1}, {1, 1}, {0, 0}, {-0.5, -0.5}, {1, -1}, {0.25, 0.5}}));
  expect_vertices<2>(solver.vertices(), {{{0, 0}, 0}, {{0.25, 0.5}, 0.3125}, {{1, 0}, 1}});
  state.update();
  EXPECT_EQ(as_array<2>(state.best_point), (P2{0, 0}));
  EXPECT_EQ(state.best_cost, 0.0);
}

TEST(NelderMeadWorkedExample, MoveByMove) { move_by_move<2>(); }
TEST(NelderMeadWorkedExampleDynamic, MoveByMove) { move_by_move<kDynamicDim>(); }

// The expansion point is x_o + (x_r - x_o) * 2, one rounding per operation.
// Here the centroid is small and the worst vertex far away, so that the
// algebraically equal x_r + (x_r - x_o) rounds differently.
template <std::size_t Dim>
void expansion_in_the_defined_order() {
  const double x_o = -0x1.4facbeb5a8ccdp-15;  // -4.001555263968282e-05
  const double x_w = 0x1.cb471bbe452c8p-3;    // 0.22425672220619774
  const auto cost = RecordingCost<1>([](const P1& p) { return p[0]; });
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P1>{{x_o}, {x_w}}));
  IterState<Dim> state;
  solver.init(cost, state);
  state.update();
  const auto step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), Action::Expansion);
  ASSERT_EQ(cost.evaluated().size(), 4u);
  const double x_r = cost.evaluated()[2][0];
  EXPECT_EQ(x_r, x_o + (x_o - x_w) * 1.0);
  const double defined = x_o + (x_r - x_o) * 2.0;
  ASSERT_NE(defined, x_r + (x_r - x_o));  // the case tells the two forms apart
  EXPECT_EQ(cost.evaluated()[3][0], defined);
}

TEST(NelderMeadWorkedExample, ExpansionInTheDefinedOrder) { expansion_in_the_defined_order<1>(); }
TEST(NelderMeadWorkedExampleDynamic, ExpansionInTheDefinedOrder) { expansion_in_the_defined_order<kDynamicDim>(); }

template <std::size_t Dim>
void executor_stops_at_the_budget() {
  const auto cost = sum_of_squares();
  Executor executor(cost, NelderMead<Dim>(to_points<Dim>(std::vector<P2>{{1, 0}, {0, 1}, {1, 1}})));
  executor.set_max_iters(2);
  const auto run = std::move(executor).run();
  ASSERT_TRUE(run.has_value());
  const auto& result = run.value();
  EXPECT_EQ(result.state.iter, 2u);
  EXPECT_EQ(result.state.status, IterStatus::MaxItersReached);
  EXPECT_EQ(as_array<2>(result.state.best_point), (P2{0, 0}));
  EXPECT_EQ(result.state.best_cost, 0.0);
  expect_vertices<2>(result.solver.vertices(), {{{0, 0}, 0}, {{0.25, 0.5}, 0.3125}, {{1, 0}, 1}});
  EXPECT_EQ(cost.evaluated().size(), 7u);
}

TEST(NelderMeadWorkedExample, ExecutorStopsAtTheBudget) { executor_stops_at_the_budget<2>(); }
TEST(NelderMeadWorkedExampleDynamic, ExecutorStopsAtTheBudget) { executor_stops_at_the_budget<kDynamicDim>(); }

// The centroid of (0), (1), (4) is their sum times the nearest double to 1/3,
// which is not the sum divided by 3.
template <std::size_t Dim>
void scales_the_sum_by_the_reciprocal() {
  const RecordingCost<1> cost([](const P1& p) { return p[0]; });
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P1>{{0}, {1}, {4}, {10}}));
  IterState<Dim> state;
  solver.init(cost, state);
  ASSERT_TRUE(solver.next_iter(cost, state).has_value());
  const double centroid = 5.0 * (1.0 / 3.0);
  ASSERT_NE(centroid, 5.0 / 3.0);
  ASSERT_GE(cost.evaluated().size(), 5u);
  EXPECT_EQ(cost.evaluated()[4][0], centroid + (centroid - 10.0));
}

TEST(NelderMeadCentroid, ScalesTheSumByTheReciprocal) { scales_the_sum_by_the_reciprocal<1>(); }
TEST(NelderMeadCentroidDynamic, ScalesTheSumByTheReciprocal) { scales_the_sum_by_the_reciprocal<kDynamicDim>(); }

// One iteration from B = (0,0), S = (1,0), W = (0,1). The centroid is
// (0.5, 0), so the trial points are the reflection R = (1,-1), the expansion
// E = (1.5,-2), the contractions CO = (0.75,-0.5) and CI = (0.25,0.5), and a
// shrink moves S and W to (0.5,0) and (0,0.5).
const P2 kB{0, 0}, kS{1, 0}, kW{0, 1};
const P2 kR{1, -1}, kE{1.5, -2}, kCO{0.75, -0.5}, kCI{0.25, 0.5}, kS1{0.5, 0}, kS2{0, 0.5};

struct MoveCase {
  const char* name;
  std::vector<Entry<2>> costs;  // of the simplex and the trial points
  Action action;
  std::vector<P2> evaluated;  // after init, in order
  std::vector<Entry<2>> vertices;
};

template <std::size_t Dim>
void takes_the_right_branch(const MoveCase& c) {
  const auto cost = table_cost<2>(c.costs);
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P2>{kB, kS, kW}));
  IterState<Dim> state;
  solver.init(cost, state);
  const auto step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), c.action);
  const std::vector<P2> after_init(cost.evaluated().begin() + 3, cost.evaluated().end());
  EXPECT_EQ(after_init, c.evaluated);
  expect_vertices<2>(solver.vertices(), c.vertices);
  EXPECT_EQ(as_array<2>(state.point), c.vertices[0].point);
  EXPECT_EQ(state.cost, c.vertices[0].cost);
}

class NelderMeadMove : public ::testing::TestWithParam<MoveCase> {};
class NelderMeadMoveDynamic : public ::testing::TestWithParam<MoveCase> {};

TEST_P(NelderMeadMove, TakesTheRightBranch) { takes_the_right_branch<2>(GetParam()); }
TEST_P(NelderMeadMoveDynamic, TakesTheRightBranch) { takes_the_right_branch<kDynamicDim>(GetParam()); }

const auto kMoveCases =
    ::testing::Values(
        MoveCase{"reflected_equal_to_best_reflects",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 1}},
                 Action::Reflection,
                 {kR},
                 {{kB, 1}, {kR, 1}, {kS, 2}}},
        MoveCase{"reflected_between_best_and_second_worst",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 1.5}},
                 Action::Reflection,
                 {kR},
                 {{kB, 1}, {kR, 1.5}, {kS, 2}}},
        MoveCase{"expansion_better_than_reflection",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 0.5}, {kE, 0.25}},
                 Action::Expansion,
                 {kR, kE},
                 {{kE, 0.25}, {kB, 1}, {kS, 2}}},
        MoveCase{"expansion_equal_to_reflection_keeps_reflected",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 0.5}, {kE, 0.5}},
                 Action::Expansion,
                 {kR, kE},
                 {{kR, 0.5}, {kB, 1}, {kS, 2}}},
        MoveCase{"outside_contraction_equal_to_reflected_accepted",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 2.5}, {kCO, 2.5}},
                 Action::ContractionOutside,
                 {kR, kCO},
                 {{kB, 1}, {kS, 2}, {kCO, 2.5}}},
        MoveCase{"outside_contraction_worse_shrinks",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 2.5}, {kCO, 2.75}, {kS1, 0.5}, {kS2, 4}},
                 Action::Shrink,
                 {kR, kCO, kS1, kS2},
                 {{kS1, 0.5}, {kB, 1}, {kS2, 4}}},
        MoveCase{"reflected_equal_to_second_worst_contracts_outside",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 2}, {kCO, 1.5}},
                 Action::ContractionOutside,
                 {kR, kCO},
                 {{kB, 1}, {kCO, 1.5}, {kS, 2}}},
        MoveCase{"reflected_equal_to_second_worst_and_worst_contracts_inside",
                 {{kB, 1}, {kS, 3}, {kW, 3}, {kR, 3}, {kCI, 2}},
                 Action::ContractionInside,
                 {kR, kCI},
                 {{kB, 1}, {kCI, 2}, {kS, 3}}},
        MoveCase{"reflected_equal_to_worst_contracts_inside",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 3}, {kCI, 2.5}},
                 Action::ContractionInside,
                 {kR, kCI},
                 {{kB, 1}, {kS, 2}, {kCI, 2.5}}},
        MoveCase{"inside_contraction_equal_to_worst_shrinks",
                 {{kB, 1}, {kS, 2}, {kW, 3}, {kR, 5}, {kCI, 3}, {kS1, 1.5}, {kS2, 1.25}},
                 Action::Shrink,
                 {kR, kCI, kS1, kS2},
                 {{kB, 1}, {kS2, 1.25}, {kS1, 1.5}}});

INSTANTIATE_TEST_SUITE_P(TieRules, NelderMeadMove, kMoveCases,
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(TieRules, NelderMeadMoveDynamic, kMoveCases,
                         [](const auto& info) { return std::string(info.param.name); });

struct UnreachableCase {
  const char* name;
  std::vector<Entry<2>> costs;
  std::vector<Entry<2>> vertices;  // sorted after init, and unchanged by the failed iteration
};

template <std::size_t Dim>
void fails_without_further_evaluations(const UnreachableCase& c) {
  const auto cost = table_cost<2>(c.costs);
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P2>{kB, kS, kW}));
  IterState<Dim> state;
  solver.init(cost, state);
  const auto step = solver.next_iter(cost, state);
  ASSERT_FALSE(step.has_value());
  EXPECT_EQ(step.error(), SolverError::potential_bug());
  EXPECT_EQ(step.error().message(), potential_bug_message());
  EXPECT_EQ(cost.evaluated(), (std::vector<P2>{kB, kS, kW, kR}));
  expect_vertices<2>(solver.vertices(), c.vertices);
}

class NelderMeadUnreachable : public ::testing::TestWithParam<UnreachableCase> {};
class NelderMeadUnreachableDynamic : public ::testing::TestWithParam<UnreachableCase> {};

TEST_P(NelderMeadUnreachable, FailsWithoutFurtherEvaluations) { fails_without_further_evaluations<2>(GetParam()); }
TEST_P(NelderMeadUnreachableDynamic, FailsWithoutFurtherEvaluations) {
  fails_without_further_evaluations<kDynamicDim>(GetParam());
}

const auto kUnreachableCases =
    ::testing::Values(UnreachableCase{"reflected_cost_nan",
                                      {{kB, 1}, {kS, 2}, {kW, 3}, {kR, kNaN}},
                                      {{kB, 1}, {kS, 2}, {kW, 3}}},
                      UnreachableCase{"second_worst_nan_reflected_not_below_best",
                                      {{kB, 1}, {kS, kNaN}, {kW, 3}, {kR, 2}},
                                      {{kB, 1}, {kS, kNaN}, {kW, 3}}},
                      UnreachableCase{"best_nan_reflected_below_second_worst",
                                      {{kB, kNaN}, {kS, 2}, {kW, 3}, {kR, 1.5}},
                                      {{kB, kNaN}, {kS, 2}, {kW, 3}}});

INSTANTIATE_TEST_SUITE_P(NaNCosts, NelderMeadUnreachable, kUnreachableCases,
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(NaNCosts, NelderMeadUnreachableDynamic, kUnreachableCases,
                         [](const auto& info) { return std::string(info.param.name); });

// Each shrunk vertex must be evaluated, and its cost stored, before the next
// one moves: the cost looks at the solver while it is being evaluated.
template <std::size_t Dim>
void evaluates_each_vertex_before_moving_the_next() {
  using Snapshot = std::vector<Vertex<Dim>>;
  NelderMead<Dim> solver(to_points<Dim>(std::vector<P3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
  auto snapshots = std::make_shared<std::vector<Snapshot>>();
  const RecordingCost<3> cost([&solver, snapshots](const P3& p) {
    snapshots->emplace_back(solver.vertices().begin(), solver.vertices().end());
    if (p == P3{0, 0, 0}) return 1.0;
    if (p == P3{1, 0, 0}) return 2.0;
    if (p == P3{0, 1, 0}) return 3.0;
    if (p == P3{0, 0, 1}) return 4.0;
    return 10.0 + p[0] + 2.0 * p[1] + 4.0 * p[2];  // every trial point is worse than the worst vertex
  });
  IterState<Dim> state;
  solver.init(cost, state);
  const auto step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), Action::Shrink);

  // n + 1 evaluations: reflection, inside contraction, then the three others.
  const auto& evaluated = cost.evaluated();
  ASSERT_EQ(evaluated.size(), 4u + 5u);
  EXPECT_EQ(evaluated[6], (P3{0.5, 0, 0}));
  EXPECT_EQ(evaluated[7], (P3{0, 0.5, 0}));
  EXPECT_EQ(evaluated[8], (P3{0, 0, 0.5}));

  // While vertex i is evaluated it has moved, the ones before it carry their
  // new costs and the ones after it are untouched.
  ASSERT_EQ(snapshots->size(), 9u);
  const Snapshot& at_first = (*snapshots)[6];
  EXPECT_EQ(as_array<3>(at_first[1].point), (P3{0.5, 0, 0}));
  EXPECT_EQ(as_array<3>(at_first[2].point), (P3{0, 1, 0}));
  EXPECT_EQ(as_array<3>(at_first[3].point), (P3{0, 0, 1}));
  const Snapshot& at_second = (*snapshots)[7];
  EXPECT_EQ(at_second[1].cost, 10.5);
  EXPECT_EQ(as_array<3>(at_second[2].point), (P3{0, 0.5, 0}));
  EXPECT_EQ(as_array<3>(at_second[3].point), (P3{0, 0, 1}));
  EXPECT_EQ(at_second[3].cost, 4.0);
  const Snapshot& at_third = (*snapshots)[8];
  EXPECT_EQ(at_third[2].cost, 11.0);
  EXPECT_EQ(as_array<3>(at_third[3].point), (P3{0, 0, 0.5}));

  expect_vertices<3>(solver.vertices(), {{{0, 0, 0}, 1}, {{0.5, 0, 0}, 10.5}, {{0, 0.5, 0}, 11}, {{0, 0, 0.5}, 12}});
}

TEST(NelderMeadShrink, EvaluatesEachVertexBeforeMovingTheNext) { evaluates_each_vertex_before_moving_the_next<3>(); }
TEST(NelderMeadShrinkDynamic, EvaluatesEachVertexBeforeMovingTheNext) {
  evaluates_each_vertex_before_moving_the_next<kDynamicDim>();
}

// Vertex i sits at (i) and costs costs[i]; the expected order lists indices.
struct SortCase {
  const char* name;
  std::vector<double> costs;
  std::vector<int> order;
};

template <std::size_t Dim>
void init_sorts_stably_by_strictly_lower_cost(const SortCase& c) {
  std::vector<P1> points;
  for (std::size_t i = 0; i < c.costs.size(); ++i) points.push_back({static_cast<double>(i)});
  const std::vector<double> costs = c.costs;
  const RecordingCost<1> cost([costs](const P1& p) { return costs[static_cast<std::size_t>(p[0])]; });
  NelderMead<Dim> solver(to_points<Dim>(points));
  IterState<Dim> state;
  solver.init(cost, state);
  std::vector<int> order;
  for (const auto& v : solver.vertices()) order.push_back(static_cast<int>(v.point[0]));
  EXPECT_EQ(order, c.order);
}

class NelderMeadSort : public ::testing::TestWithParam<SortCase> {};
class NelderMeadSortDynamic : public ::testing::TestWithParam<SortCase> {};

TEST_P(NelderMeadSort, InitSortsStablyByStrictlyLowerCost) { init_sorts_stably_by_strictly_lower_cost<1>(GetParam()); }
TEST_P(NelderMeadSortDynamic, InitSortsStablyByStrictlyLowerCost) {
  init_sorts_stably_by_strictly_lower_cost<kDynamicDim>(GetParam());
}

const auto kSortCases =
    ::testing::Values(SortCase{"sorted", {1, 2, 3}, {0, 1, 2}}, SortCase{"reversed", {3, 2, 1}, {2, 1, 0}},
                      SortCase{"ties_keep_caller_order", {2, 1, 1, 0}, {3, 1, 2, 0}},
                      SortCase{"infinities", {kInf, -kInf, 1}, {1, 2, 0}},
                      SortCase{"nan_blocks_everything_behind_it", {3, kNaN, 1, 2}, {0, 1, 2, 3}},
                      SortCase{"nan_first_stays_first", {kNaN, 2, 1}, {0, 2, 1}},
                      SortCase{"nan_last_stays_last", {2, 1, kNaN}, {1, 0, 2}});

INSTANTIATE_TEST_SUITE_P(Insertion, NelderMeadSort, kSortCases,
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Insertion, NelderMeadSortDynamic, kSortCases,
                         [](const auto& info) { return std::string(info.param.name); });

// Beyond the insertion-sort limit: stable, ascending, NaN costs last.
template <std::size_t Dim>
void stable_with_nan_last() {
  std::vector<double> costs;
  for (int i = 0; i < 25; ++i) costs.push_back(i % 6 == 5 ? kNaN : static_cast<double>((i * 7) % 4));
  std::vector<int> expected;
  for (double value : {0.0, 1.0, 2.0, 3.0}) {
    for (int i = 0; i < 25; ++i) {
      if (costs[static_cast<std::size_t>(i)] == value) expected.push_back(i);
    }
  }
  for (int i = 0; i < 25; ++i) {
    if (std::isnan(costs[static_cast<std::size_t>(i)])) expected.push_back(i);
  }
  std::vector<P1> points;
  for (int i = 0; i < 25; ++i) points.push_back({static_cast<double>(i)});
  const RecordingCost<1> cost([costs](const P1& p) { return costs[static_cast<std::size_t>(p[0])]; });
  NelderMead<Dim> solver(to_points<Dim>(points));
  IterState<Dim> state;
  solver.init(cost, state);
  std::vector<int> order;
  for (const auto& v : solver.vertices()) order.push_back(static_cast<int>(v.point[0]));
  EXPECT_EQ(order, expected);
}

TEST(NelderMeadSortLarge, StableWithNaNLast) { stable_with_nan_last<1>(); }
TEST(NelderMeadSortLargeDynamic, StableWithNaNLast) { stable_with_nan_last<kDynamicDim>(); }

struct UpdateCase {
  const char* name;
  double best_cost;  // already accepted at (0)
  double cost;       // offered at (1)
  bool accepted;
};

template <std::size_t Dim>
void accepts_only_improvements_and_matching_infinities(const UpdateCase& c) {
  IterState<Dim> state;
  state.best_point = to_point<Dim>(P1{0});
  state.best_cost = c.best_cost;
  state.point = to_point<Dim>(P1{1});
  state.cost = c.cost;
  state.update();
  EXPECT_EQ(as_array<1>(state.best_point), (c.accepted ? P1{1} : P1{0}));
  EXPECT_EQ(state.best_cost, c.accepted ? c.cost : c.best_cost);
}

class IterStateUpdate : public ::testing::TestWithParam<UpdateCase> {};
class IterStateUpdateDynamic : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(IterStateUpdate, AcceptsOnlyImprovementsAndMatchingInfinities) {
  accepts_only_improvements_and_matching_infinities<1>(GetParam());
}
TEST_P(IterStateUpdateDynamic, AcceptsOnlyImprovementsAndMatchingInfinities) {
  accepts_only_improvements_and_matching_infinities<kDynamicDim>(GetParam());
}

const auto kUpdateCases =
    ::testing::Values(UpdateCase{"lower", 1, 0.5, true}, UpdateCase{"equal_finite_keeps_earlier", 1, 1, false},
                      UpdateCase{"higher", 1, 2, false}, UpdateCase{"plus_inf_over_plus_inf", kInf, kInf, true},
                      UpdateCase{"minus_inf_over_minus_inf", -kInf, -kInf, true},
                      UpdateCase{"plus_inf_over_finite", 1, kInf, false},
                      UpdateCase{"nan_never", kInf, kNaN, false});

INSTANTIATE_TEST_SUITE_P(Rules, IterStateUpdate, kUpdateCases,
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Rules, IterStateUpdateDynamic, kUpdateCases,
                         [](const auto& info) { return std::string(info.param.name); });

template <std::size_t Dim = 1>
std::vector<Vertex<Dim>> with_costs(std::vector<double> costs) {
  std::vector<Vertex<Dim>> vertices;
  for (double c : costs) vertices.push_back({to_point<Dim>(P1{0}), c});
  return vertices;
}

template <std::size_t Dim>
void spread_must_be_strictly_below_tolerance() {
  // Costs 1, 3, 5: mean 3, squares 8, spread sqrt(8 / 2) = 2 exactly.
  const auto vertices = with_costs<Dim>({1, 3, 5});
  IterState<Dim> at_tolerance;
  at_tolerance.check_stop(vertices, 2.0);
  EXPECT_EQ(at_tolerance.status, IterStatus::Running);
  IterState<Dim> above;
  above.check_stop(vertices, std::nextafter(2.0, 3.0));
  EXPECT_EQ(above.status, IterStatus::Converged);
}

TEST(IterStateCheckStop, SpreadMustBeStrictlyBelowTolerance) { spread_must_be_strictly_below_tolerance<1>(); }
TEST(IterStateCheckStopDynamic, SpreadMustBeStrictlyBelowTolerance) {
  spread_must_be_strictly_below_tolerance<kDynamicDim>();
}

template <std::size_t Dim>
void spread_scales_by_the_reciprocal_first() {
  // Costs 1.5, 0.5, 1, 3: mean 1.5 and squares 3.5, both exact. Multiplying
  // by 1/3 and dividing by 3 differ in the last bit of the spread here.
  const auto vertices = with_costs<Dim>({1.5, 0.5, 1, 3});
  const double spread = std::sqrt((1.0 / 3.0) * 3.5);
  ASSERT_NE(spread, std::sqrt(3.5 / 3.0));
  IterState<Dim> at_spread;
  at_spread.check_stop(vertices, spread);
  EXPECT_EQ(at_spread.status, IterStatus::Running);
  IterState<Dim> just_above;
  just_above.check_stop(vertices, std::nextafter(spread, 2.0));
  EXPECT_EQ(just_above.status, IterStatus::Converged);
}

TEST(IterStateCheckStop, SpreadScalesByTheReciprocalFirst) { spread_scales_by_the_reciprocal_first<1>(); }
TEST(IterStateCheckStopDynamic, SpreadScalesByTheReciprocalFirst) {
  spread_scales_by_the_reciprocal_first<kDynamicDim>();
}

template <std::size_t Dim>
void convergence_is_tested_before_the_budget() {
  IterState<Dim> state;
  state.max_iters = 0;
  state.check_stop(with_costs<Dim>({7, 7, 7}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::Converged);
}

TEST(IterStateCheckStop, ConvergenceIsTestedBeforeTheBudget) { convergence_is_tested_before_the_budget<1>(); }
TEST(IterStateCheckStopDynamic, ConvergenceIsTestedBeforeTheBudget) {
  convergence_is_tested_before_the_budget<kDynamicDim>();
}

template <std::size_t Dim>
void infinite_costs_never_converge() {
  IterState<Dim> state;
  state.check_stop(with_costs<Dim>({kInf, kInf, kInf}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::Running);
  state.max_iters = 0;
  state.check_stop(with_costs<Dim>({kInf, kInf, kInf}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::MaxItersReached);
}

TEST(IterStateCheckStop, InfiniteCostsNeverConverge) { infinite_costs_never_converge<1>(); }
TEST(IterStateCheckStopDynamic, InfiniteCostsNeverConverge) { infinite_costs_never_converge<kDynamicDim>(); }

template <std::size_t Dim>
void target_cost_and_final_status() {
  IterState<Dim> state;
  state.best_cost = 0.5;
  state.target_cost = 0.5;
  state.check_stop(with_costs<Dim>({0.5, 1}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::TargetCostReached);
  state.check_stop(with_costs<Dim>({1, 1}), 1e-10);  // decided once; no later test changes it
  EXPECT_EQ(state.status, IterStatus::TargetCostReached);

  IterState<Dim> driver_default;  // target -inf: reached only by a best of -inf
  driver_default.best_cost = -1e300;
  driver_default.check_stop(with_costs<Dim>({0, 1}), 1e-10);
  EXPECT_EQ(driver_default.status, IterStatus::Running);
}

TEST(IterStateCheckStop, TargetCostAndFinalStatus) { target_cost_and_final_status<1>(); }
TEST(IterStateCheckStopDynamic, TargetCostAndFinalStatus) { target_cost_and_final_status<kDynamicDim>(); }

// The second convergence test, with the spread test off (tolerance 0) and
// no budget left, so each case ends Converged or MaxItersReached.
struct RangeCase {
  const char* name;
  std::vector<Entry<2>> vertices;  // sorted by cost, as the minimiser keeps them
  RangeTolerances ranges;
  IterStatus status;
};

template <std::size_t Dim>
void applies_the_range_test(const RangeCase& c) {
  std::vector<Vertex<Dim>> vertices;
  for (const auto& e : c.vertices) vertices.push_back({to_point<Dim>(e.point), e.cost});
  IterState<Dim> state;
  state.max_iters = 0;
  state.check_stop(vertices, 0.0, c.ranges);
  EXPECT_EQ(state.status, c.status);
}

class IterStateRanges : public ::testing::TestWithParam<RangeCase> {};
class IterStateRangesDynamic : public ::testing::TestWithParam<RangeCase> {};

TEST_P(IterStateRanges, ConvergesWithinTheRanges) { applies_the_range_test<2>(GetParam()); }
TEST_P(IterStateRangesDynamic, ConvergesWithinTheRanges) { applies_the_range_test<kDynamicDim>(GetParam()); }

constexpr double kOff = kNaN;
const P2 kFar1{10, 0}, kFar2{0, 10};

const auto kRangeCases = ::testing::Values(
    RangeCase{"cost_range_at_tolerance", {{kB, 1}, {kFar1, 1.25}, {kFar2, 1.5}}, {0.5, kOff}, IterStatus::Converged},
    RangeCase{"cost_range_above_tolerance",
              {{kB, 1}, {kFar1, 1.25}, {kFar2, 1.5}},
              {std::nextafter(0.5, 0.0), kOff},
              IterStatus::MaxItersReached},
    RangeCase{"infinite_best", {{kB, -kInf}, {kFar1, -kInf}, {kFar2, -kInf}}, {1.0, kOff},
              IterStatus::MaxItersReached},
    RangeCase{"infinite_worst", {{kB, 1}, {kFar1, 1}, {kFar2, kInf}}, {1.0, kOff}, IterStatus::MaxItersReached},
    RangeCase{"points_within_tolerance",
              {{{1, 1}, 1}, {{1.25, 0.75}, 2}, {{1, 1.25}, 3}},
              {0.5, 0.25},
              IterStatus::Converged},
    RangeCase{"point_just_outside",
              {{{1, 1}, 1}, {{1.25, 0.75}, 2}, {{1, std::nextafter(1.25, 2.0)}, 3}},
              {0.5, 0.25},
              IterStatus::MaxItersReached},
    RangeCase{"points_within_whatever_the_costs",
              {{{1, 1}, kInf}, {{1, 1}, kInf}, {{1, 1}, kInf}},
              {kOff, 0.0},
              IterStatus::Converged},
    RangeCase{"nan_coordinate_is_not_within",
              {{{1, 1}, 1}, {{kNaN, 1}, 2}, {{1, 1}, 3}},
              {0.5, 0.25},
              IterStatus::MaxItersReached},
    RangeCase{"off_by_default", {{kB, 1}, {kB, 1}, {kB, 1}}, {}, IterStatus::MaxItersReached});

INSTANTIATE_TEST_SUITE_P(Rules, IterStateRanges, kRangeCases,
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Rules, IterStateRangesDynamic, kRangeCases,
                         [](const auto& info) { return std::string(info.param.name); });

// The executor asks the range test before every iteration. From (1,0),
// (0,1), (1,1) the costs after init are 1, 1, 2: a cost range of 1.
template <std::size_t Dim>
void executor_applies_the_range_test() {
  const std::vector<P2> simplex{{1, 0}, {0, 1}, {1, 1}};
  for (const double tolerance : {1.0, std::nextafter(1.0, 0.0)}) {
    const auto cost = sum_of_squares();
    NelderMead<Dim> solver(to_points<Dim>(simplex));
    solver.set_convergence_tolerance(0.0);
    solver.set_range_tolerances({tolerance, kOff});
    Executor executor(cost, std::move(solver));
    executor.set_max_iters(2);
    const auto run = std::move(executor).run();
    ASSERT_TRUE(run.has_value());
    const bool within = tolerance == 1.0;
    EXPECT_EQ(run.value().state.status, within ? IterStatus::Converged : IterStatus::MaxItersReached);
    EXPECT_EQ(run.value().state.iter, within ? 0u : 2u);
  }
}

TEST(NelderMeadExecutor, AppliesTheRangeTest) { executor_applies_the_range_test<2>(); }
TEST(NelderMeadExecutorDynamic, AppliesTheRangeTest) { executor_applies_the_range_test<kDynamicDim>(); }

// A cost that can be told to stop: stopped() turns true once `limit`
// evaluations have been made. Copies share the count.
struct StoppingCost {
  std::uint64_t limit;
  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);

  double cost(std::span<const double> p) const {
    ++*calls;
    return p[0] * p[0] + p[1] * p[1];
  }
  bool stopped() const { return *calls >= limit; }
};

// Init makes 3 evaluations and the first iteration (an expansion) 2 more:
// the run ends before the second, with the status still Running.
template <std::size_t Dim>
void executor_ends_where_the_cost_stopped() {
  const StoppingCost cost{5};
  Executor executor(cost, NelderMead<Dim>(to_points<Dim>(std::vector<P2>{{1, 0}, {0, 1}, {1, 1}})));
  executor.set_max_iters(100);
  const auto run = std::move(executor).run();
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run.value().state.iter, 1u);
  EXPECT_EQ(run.value().state.status, IterStatus::Running);
  EXPECT_EQ(as_array<2>(run.value().state.best_point), (P2{0, 0}));
  EXPECT_EQ(*cost.calls, 5u);
}

TEST(NelderMeadExecutor, EndsWhereTheCostStopped) { executor_ends_where_the_cost_stopped<2>(); }
TEST(NelderMeadExecutorDynamic, EndsWhereTheCostStopped) { executor_ends_where_the_cost_stopped<kDynamicDim>(); }

TEST(FitInterruption, AsksEveryTimeOrOncePerInterval) {
  int asked = 0;
  bool answer = false;
  const StopCheck check = [&] {
    ++asked;
    return answer;
  };
  FitInterruption every{&check};
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(every.requested());
  EXPECT_EQ(asked, 3);

  asked = 0;
  FitInterruption hourly{&check};
  hourly.poll_interval = std::chrono::hours(1);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(hourly.requested());
  EXPECT_EQ(asked, 1);  // the first call asks at once

  asked = 0;
  answer = true;
  FitInterruption stopping{&check};
  EXPECT_TRUE(stopping.requested());
  EXPECT_TRUE(stopping.requested());  // stays stopped without asking again
  EXPECT_TRUE(stopping.stopped);
  EXPECT_EQ(asked, 1);

  FitInterruption unset{};
  EXPECT_FALSE(unset.requested());
}

// --- The driver, on 3-coordinate points -----------------------------------

const P3 kP0{0, 0, 0}, kP1{1, 0, 0}, kP2{0, 1, 0}, kP3{0, 0, 1};

TEST(RunNelderMead, BudgetZeroReturnsBestInitialVertex) {
  const auto cost = table_cost<3>({{kP0, 2}, {kP1, 1}, {kP2, 1}, {kP3, 3}});
  const auto fit = run_neldermead(cost, std::vector<P3>{kP0, kP1, kP2, kP3}, 0);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit.value().point, kP1);  // the earlier of the two lowest
  EXPECT_EQ(fit.value().cost, 1.0);
  EXPECT_EQ(fit.value().iterations, 0u);
  EXPECT_EQ(cost.evaluated(), (std::vector<P3>{kP0, kP1, kP2, kP3}));
}

TEST(RunNelderMead, AllInvalidPointsStopBeforeTheFirstIteration) {
  const auto cost = table_cost<3>({}, 1e9);
  const auto fit = run_neldermead(cost, std::vector<P3>{kP3, kP1, kP2, kP0}, 100);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit.value().point, kP3);
  EXPECT_EQ(fit.value().cost, 1e9);
  EXPECT_EQ(fit.value().iterations, 0u);
  EXPECT_EQ(cost.evaluated().size(), 4u);
}

TEST(RunNelderMead, AllInfiniteCostsStillGiveVertexZero) {
  const auto cost = table_cost<3>({}, kInf);
  const auto fit = run_neldermead(cost, std::vector<P3>{kP2, kP1, kP0, kP3}, 0);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit.value().point, kP2);
  EXPECT_EQ(fit.value().cost, kInf);
  EXPECT_EQ(fit.value().iterations, 0u);
}

TEST(RunNelderMead, NaNReflectionIsAnOptimizerError) {
  const auto cost = table_cost<3>({{kP0, 1}, {kP1, 2}, {kP2, 3}, {kP3, 4}}, kNaN);
  const auto fit = run_neldermead(cost, std::vector<P3>{kP0, kP1, kP2, kP3}, 10);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error().kind(), FitError::Kind::Optimizer);
  EXPECT_EQ(fit.error().message(), "optimizer error: " + potential_bug_message());
  EXPECT_EQ(cost.evaluated().size(), 5u);
}

// The first point costs NaN and stays vertex 0, so no cost is ever accepted.
class RunNelderMeadNaNFirst : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RunNelderMeadNaNFirst, HasNoSolutionWhenTheBudgetRunsOut) {
  const RecordingCost<3> cost([](const P3& p) { return p == kP0 ? kNaN : p[0] * p[0] + p[1] * p[1] + p[2] * p[2]; });
  const auto fit = run_neldermead(cost, std::vector<P3>{kP0, kP1, kP2, kP3}, GetParam());
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error(), FitError::no_solution());
  EXPECT_EQ(fit.error().message(), "the optimizer did not produce a solution");
  // One iteration is an inside contraction: two more evaluations.
  EXPECT_EQ(cost.evaluated().size(), 4u + 2u * GetParam());
}

INSTANTIATE_TEST_SUITE_P(Budgets, RunNelderMeadNaNFirst, ::testing::Values(0u, 1u),
                         [](const auto& info) { return "budget_" + std::to_string(info.param); });

// Every new point costs 0 and the three non-best initial points cost 1: two
// reflections, then an outside contraction leaves all four costs at 0.
TEST(RunNelderMead, ConvergenceBeforeTheBudgetReportsIterationsMade) {
  const auto cost = table_cost<3>({{kP1, 1}, {kP2, 1}, {kP3, 1}}, 0.0);
  const auto fit = run_neldermead(cost, std::vector<P3>{kP0, kP1, kP2, kP3}, 10);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit.value().iterations, 3u);
  EXPECT_EQ(fit.value().point, kP0);
  EXPECT_EQ(fit.value().cost, 0.0);
  EXPECT_EQ(cost.evaluated().size(), 4u + 1u + 1u + 2u);
}

TEST(RunNelderMead, RefusesASimplexOfOneVertex) {
  const auto cost = table_cost<3>({}, 0.0);
  const auto fit = run_neldermead(cost, std::vector<P3>{kP0}, 10);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error().kind(), FitError::Kind::Optimizer);
  EXPECT_TRUE(cost.evaluated().empty());
}

}  // namespace
}  // namespace corvatel
