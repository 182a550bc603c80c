#include "corvatel/neldermead.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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

template <std::size_t Dim>
void expect_vertices(std::span<const Vertex<Dim>> actual, const std::vector<Entry<Dim>>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("vertex " + std::to_string(i));
    EXPECT_EQ(actual[i].point, expected[i].point);
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

TEST(NelderMeadSetup, CoefficientsAndDefaultTolerance) {
  NelderMead<2> solver({{1, 0}, {0, 1}});
  EXPECT_EQ(solver.reflection_coeff(), 1.0);
  EXPECT_EQ(solver.expansion_coeff(), 2.0);
  EXPECT_EQ(solver.contraction_coeff(), 0.5);
  EXPECT_EQ(solver.shrink_coeff(), 0.5);
  EXPECT_EQ(solver.convergence_tolerance(), 0x1p-52);
  for (const auto& v : solver.vertices()) EXPECT_TRUE(std::isnan(v.cost));
  solver.set_convergence_tolerance(1e-10);
  EXPECT_EQ(solver.convergence_tolerance(), 1e-10);
}

TEST(NelderMeadSetup, ContractMovesHalfwayFromTheBase) {
  const NelderMead<2> solver({{0, 0}, {1, 1}});
  EXPECT_EQ(solver.contract({1, 2}, {3, -2}), (P2{2, 0}));
}

// f = x^2 + y^2 from (1,0), (0,1), (1,1): every value is exact in binary64.
TEST(NelderMeadWorkedExample, MoveByMove) {
  const auto cost = sum_of_squares();
  NelderMead<2> solver({{1, 0}, {0, 1}, {1, 1}});
  IterState<2> state;

  solver.init(cost, state);
  state.update();
  EXPECT_EQ(cost.evaluated(), (std::vector<P2>{{1, 0}, {0, 1}, {1, 1}}));
  expect_vertices<2>(solver.vertices(), {{{1, 0}, 1}, {{0, 1}, 1}, {{1, 1}, 2}});
  EXPECT_EQ(state.best_point, (P2{1, 0}));
  EXPECT_EQ(state.best_cost, 1.0);

  auto step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), Action::Expansion);
  EXPECT_EQ(cost.evaluated(), (std::vector<P2>{{1, 0}, {0, 1}, {1, 1}, {0, 0}, {-0.5, -0.5}}));
  expect_vertices<2>(solver.vertices(), {{{0, 0}, 0}, {{1, 0}, 1}, {{0, 1}, 1}});
  state.update();
  EXPECT_EQ(state.point, (P2{0, 0}));
  EXPECT_EQ(state.best_point, (P2{0, 0}));
  EXPECT_EQ(state.best_cost, 0.0);

  step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), Action::ContractionInside);
  EXPECT_EQ(cost.evaluated(),
            (std::vector<P2>{{1, 0}, {0, 1}, {1, 1}, {0, 0}, {-0.5, -0.5}, {1, -1}, {0.25, 0.5}}));
  expect_vertices<2>(solver.vertices(), {{{0, 0}, 0}, {{0.25, 0.5}, 0.3125}, {{1, 0}, 1}});
  state.update();
  EXPECT_EQ(state.best_point, (P2{0, 0}));
  EXPECT_EQ(state.best_cost, 0.0);
}

// The expansion point is x_o + (x_r - x_o) * 2, one rounding per operation.
// Here the centroid is small and the worst vertex far away, so that the
// algebraically equal x_r + (x_r - x_o) rounds differently.
TEST(NelderMeadWorkedExample, ExpansionInTheDefinedOrder) {
  const double x_o = -0x1.4facbeb5a8ccdp-15;  // -4.001555263968282e-05
  const double x_w = 0x1.cb471bbe452c8p-3;    // 0.22425672220619774
  const auto cost = RecordingCost<1>([](const P1& p) { return p[0]; });
  NelderMead<1> solver({{x_o}, {x_w}});
  IterState<1> state;
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

TEST(NelderMeadWorkedExample, ExecutorStopsAtTheBudget) {
  const auto cost = sum_of_squares();
  Executor executor(cost, NelderMead<2>({{1, 0}, {0, 1}, {1, 1}}));
  executor.set_max_iters(2);
  const auto run = std::move(executor).run();
  ASSERT_TRUE(run.has_value());
  const auto& result = run.value();
  EXPECT_EQ(result.state.iter, 2u);
  EXPECT_EQ(result.state.status, IterStatus::MaxItersReached);
  EXPECT_EQ(result.state.best_point, (P2{0, 0}));
  EXPECT_EQ(result.state.best_cost, 0.0);
  expect_vertices<2>(result.solver.vertices(), {{{0, 0}, 0}, {{0.25, 0.5}, 0.3125}, {{1, 0}, 1}});
  EXPECT_EQ(cost.evaluated().size(), 7u);
}

// The centroid of (0), (1), (4) is their sum times the nearest double to 1/3,
// which is not the sum divided by 3.
TEST(NelderMeadCentroid, ScalesTheSumByTheReciprocal) {
  const RecordingCost<1> cost([](const P1& p) { return p[0]; });
  NelderMead<1> solver({{0}, {1}, {4}, {10}});
  IterState<1> state;
  solver.init(cost, state);
  ASSERT_TRUE(solver.next_iter(cost, state).has_value());
  const double centroid = 5.0 * (1.0 / 3.0);
  ASSERT_NE(centroid, 5.0 / 3.0);
  ASSERT_GE(cost.evaluated().size(), 5u);
  EXPECT_EQ(cost.evaluated()[4][0], centroid + (centroid - 10.0));
}

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

class NelderMeadMove : public ::testing::TestWithParam<MoveCase> {};

TEST_P(NelderMeadMove, TakesTheRightBranch) {
  const MoveCase& c = GetParam();
  const auto cost = table_cost<2>(c.costs);
  NelderMead<2> solver({kB, kS, kW});
  IterState<2> state;
  solver.init(cost, state);
  const auto step = solver.next_iter(cost, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step.value(), c.action);
  const std::vector<P2> after_init(cost.evaluated().begin() + 3, cost.evaluated().end());
  EXPECT_EQ(after_init, c.evaluated);
  expect_vertices<2>(solver.vertices(), c.vertices);
  EXPECT_EQ(state.point, c.vertices[0].point);
  EXPECT_EQ(state.cost, c.vertices[0].cost);
}

INSTANTIATE_TEST_SUITE_P(
    TieRules, NelderMeadMove,
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
                 {{kB, 1}, {kS2, 1.25}, {kS1, 1.5}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct UnreachableCase {
  const char* name;
  std::vector<Entry<2>> costs;
  std::vector<Entry<2>> vertices;  // sorted after init, and unchanged by the failed iteration
};

class NelderMeadUnreachable : public ::testing::TestWithParam<UnreachableCase> {};

TEST_P(NelderMeadUnreachable, FailsWithoutFurtherEvaluations) {
  const UnreachableCase& c = GetParam();
  const auto cost = table_cost<2>(c.costs);
  NelderMead<2> solver({kB, kS, kW});
  IterState<2> state;
  solver.init(cost, state);
  const auto step = solver.next_iter(cost, state);
  ASSERT_FALSE(step.has_value());
  EXPECT_EQ(step.error(), SolverError::potential_bug());
  EXPECT_EQ(step.error().message(), potential_bug_message());
  EXPECT_EQ(cost.evaluated(), (std::vector<P2>{kB, kS, kW, kR}));
  expect_vertices<2>(solver.vertices(), c.vertices);
}

INSTANTIATE_TEST_SUITE_P(
    NaNCosts, NelderMeadUnreachable,
    ::testing::Values(UnreachableCase{"reflected_cost_nan",
                                      {{kB, 1}, {kS, 2}, {kW, 3}, {kR, kNaN}},
                                      {{kB, 1}, {kS, 2}, {kW, 3}}},
                      UnreachableCase{"second_worst_nan_reflected_not_below_best",
                                      {{kB, 1}, {kS, kNaN}, {kW, 3}, {kR, 2}},
                                      {{kB, 1}, {kS, kNaN}, {kW, 3}}},
                      UnreachableCase{"best_nan_reflected_below_second_worst",
                                      {{kB, kNaN}, {kS, 2}, {kW, 3}, {kR, 1.5}},
                                      {{kB, kNaN}, {kS, 2}, {kW, 3}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Each shrunk vertex must be evaluated, and its cost stored, before the next
// one moves: the cost looks at the solver while it is being evaluated.
TEST(NelderMeadShrink, EvaluatesEachVertexBeforeMovingTheNext) {
  using Snapshot = std::vector<Vertex<3>>;
  NelderMead<3> solver({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  auto snapshots = std::make_shared<std::vector<Snapshot>>();
  const RecordingCost<3> cost([&solver, snapshots](const P3& p) {
    snapshots->emplace_back(solver.vertices().begin(), solver.vertices().end());
    if (p == P3{0, 0, 0}) return 1.0;
    if (p == P3{1, 0, 0}) return 2.0;
    if (p == P3{0, 1, 0}) return 3.0;
    if (p == P3{0, 0, 1}) return 4.0;
    return 10.0 + p[0] + 2.0 * p[1] + 4.0 * p[2];  // every trial point is worse than the worst vertex
  });
  IterState<3> state;
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
  EXPECT_EQ(at_first[1].point, (P3{0.5, 0, 0}));
  EXPECT_EQ(at_first[2].point, (P3{0, 1, 0}));
  EXPECT_EQ(at_first[3].point, (P3{0, 0, 1}));
  const Snapshot& at_second = (*snapshots)[7];
  EXPECT_EQ(at_second[1].cost, 10.5);
  EXPECT_EQ(at_second[2].point, (P3{0, 0.5, 0}));
  EXPECT_EQ(at_second[3].point, (P3{0, 0, 1}));
  EXPECT_EQ(at_second[3].cost, 4.0);
  const Snapshot& at_third = (*snapshots)[8];
  EXPECT_EQ(at_third[2].cost, 11.0);
  EXPECT_EQ(at_third[3].point, (P3{0, 0, 0.5}));

  expect_vertices<3>(solver.vertices(), {{{0, 0, 0}, 1}, {{0.5, 0, 0}, 10.5}, {{0, 0.5, 0}, 11}, {{0, 0, 0.5}, 12}});
}

// Vertex i sits at (i) and costs costs[i]; the expected order lists indices.
struct SortCase {
  const char* name;
  std::vector<double> costs;
  std::vector<int> order;
};

class NelderMeadSort : public ::testing::TestWithParam<SortCase> {};

TEST_P(NelderMeadSort, InitSortsStablyByStrictlyLowerCost) {
  const SortCase& c = GetParam();
  std::vector<P1> points;
  for (std::size_t i = 0; i < c.costs.size(); ++i) points.push_back({static_cast<double>(i)});
  const std::vector<double> costs = c.costs;
  const RecordingCost<1> cost([costs](const P1& p) { return costs[static_cast<std::size_t>(p[0])]; });
  NelderMead<1> solver(points);
  IterState<1> state;
  solver.init(cost, state);
  std::vector<int> order;
  for (const auto& v : solver.vertices()) order.push_back(static_cast<int>(v.point[0]));
  EXPECT_EQ(order, c.order);
}

INSTANTIATE_TEST_SUITE_P(
    Insertion, NelderMeadSort,
    ::testing::Values(SortCase{"sorted", {1, 2, 3}, {0, 1, 2}}, SortCase{"reversed", {3, 2, 1}, {2, 1, 0}},
                      SortCase{"ties_keep_caller_order", {2, 1, 1, 0}, {3, 1, 2, 0}},
                      SortCase{"infinities", {kInf, -kInf, 1}, {1, 2, 0}},
                      SortCase{"nan_blocks_everything_behind_it", {3, kNaN, 1, 2}, {0, 1, 2, 3}},
                      SortCase{"nan_first_stays_first", {kNaN, 2, 1}, {0, 2, 1}},
                      SortCase{"nan_last_stays_last", {2, 1, kNaN}, {1, 0, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

// Beyond the insertion-sort limit: stable, ascending, NaN costs last.
TEST(NelderMeadSortLarge, StableWithNaNLast) {
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
  NelderMead<1> solver(points);
  IterState<1> state;
  solver.init(cost, state);
  std::vector<int> order;
  for (const auto& v : solver.vertices()) order.push_back(static_cast<int>(v.point[0]));
  EXPECT_EQ(order, expected);
}

struct UpdateCase {
  const char* name;
  double best_cost;  // already accepted at (0)
  double cost;       // offered at (1)
  bool accepted;
};

class IterStateUpdate : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(IterStateUpdate, AcceptsOnlyImprovementsAndMatchingInfinities) {
  const UpdateCase& c = GetParam();
  IterState<1> state;
  state.best_point = P1{0};
  state.best_cost = c.best_cost;
  state.point = P1{1};
  state.cost = c.cost;
  state.update();
  EXPECT_EQ(state.best_point, (c.accepted ? P1{1} : P1{0}));
  EXPECT_EQ(state.best_cost, c.accepted ? c.cost : c.best_cost);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IterStateUpdate,
    ::testing::Values(UpdateCase{"lower", 1, 0.5, true}, UpdateCase{"equal_finite_keeps_earlier", 1, 1, false},
                      UpdateCase{"higher", 1, 2, false}, UpdateCase{"plus_inf_over_plus_inf", kInf, kInf, true},
                      UpdateCase{"minus_inf_over_minus_inf", -kInf, -kInf, true},
                      UpdateCase{"plus_inf_over_finite", 1, kInf, false},
                      UpdateCase{"nan_never", kInf, kNaN, false}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<Vertex<1>> with_costs(std::vector<double> costs) {
  std::vector<Vertex<1>> vertices;
  for (double c : costs) vertices.push_back({{0}, c});
  return vertices;
}

TEST(IterStateCheckStop, SpreadMustBeStrictlyBelowTolerance) {
  // Costs 1, 3, 5: mean 3, squares 8, spread sqrt(8 / 2) = 2 exactly.
  const auto vertices = with_costs({1, 3, 5});
  IterState<1> at_tolerance;
  at_tolerance.check_stop(vertices, 2.0);
  EXPECT_EQ(at_tolerance.status, IterStatus::Running);
  IterState<1> above;
  above.check_stop(vertices, std::nextafter(2.0, 3.0));
  EXPECT_EQ(above.status, IterStatus::Converged);
}

TEST(IterStateCheckStop, SpreadScalesByTheReciprocalFirst) {
  // Costs 1.5, 0.5, 1, 3: mean 1.5 and squares 3.5, both exact. Multiplying
  // by 1/3 and dividing by 3 differ in the last bit of the spread here.
  const auto vertices = with_costs({1.5, 0.5, 1, 3});
  const double spread = std::sqrt((1.0 / 3.0) * 3.5);
  ASSERT_NE(spread, std::sqrt(3.5 / 3.0));
  IterState<1> at_spread;
  at_spread.check_stop(vertices, spread);
  EXPECT_EQ(at_spread.status, IterStatus::Running);
  IterState<1> just_above;
  just_above.check_stop(vertices, std::nextafter(spread, 2.0));
  EXPECT_EQ(just_above.status, IterStatus::Converged);
}

TEST(IterStateCheckStop, ConvergenceIsTestedBeforeTheBudget) {
  IterState<1> state;
  state.max_iters = 0;
  state.check_stop(with_costs({7, 7, 7}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::Converged);
}

TEST(IterStateCheckStop, InfiniteCostsNeverConverge) {
  IterState<1> state;
  state.check_stop(with_costs({kInf, kInf, kInf}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::Running);
  state.max_iters = 0;
  state.check_stop(with_costs({kInf, kInf, kInf}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::MaxItersReached);
}

TEST(IterStateCheckStop, TargetCostAndFinalStatus) {
  IterState<1> state;
  state.best_cost = 0.5;
  state.target_cost = 0.5;
  state.check_stop(with_costs({0.5, 1}), 1e-10);
  EXPECT_EQ(state.status, IterStatus::TargetCostReached);
  state.check_stop(with_costs({1, 1}), 1e-10);  // decided once; no later test changes it
  EXPECT_EQ(state.status, IterStatus::TargetCostReached);

  IterState<1> driver_default;  // target -inf: reached only by a best of -inf
  driver_default.best_cost = -1e300;
  driver_default.check_stop(with_costs({0, 1}), 1e-10);
  EXPECT_EQ(driver_default.status, IterStatus::Running);
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
