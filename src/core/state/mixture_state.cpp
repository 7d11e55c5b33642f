// Writing and reading the persistent state of a mixture grown in order.

#include "state/mixture_state.hpp"

#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "state/state.hpp"

namespace ostrel {

namespace {

constexpr std::uint8_t STATE_VERSION = 1;
// Rows counted from their start: a mode byte after max_depth.
constexpr std::uint8_t STARTS_VERSION = 2;
constexpr std::uint8_t STARTS_MODE = 1;
constexpr std::uint8_t KNESER_NEY = 'K';

}  // namespace

std::string save_mixture(const bct::Mixture& mixture) {
  const bct::EstimatorChoice choice = mixture.estimator();
  const auto* estimator = std::get_if<bct::KneserNey>(&choice);
  if (estimator == nullptr) throw InternalFault("mixture state: an estimator of counts alone");
  StateWriter out(StateKind::Mixture, mixture.starts() ? STARTS_VERSION : STATE_VERSION);
  out.varint(mixture.alphabet_size());
  out.varint(mixture.max_depth());
  if (mixture.starts()) out.byte(STARTS_MODE);
  out.float64(mixture.prior().beta);
  out.byte(KNESER_NEY);
  for (const double d : estimator->discounts()) out.float64(d);
  for (const double theta : estimator->concentrations()) out.float64(theta);
  const Rows& rows = mixture.rows();
  out.varint(rows.size());
  out.reserve_more(rows.symbol_count() + rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    out.varint(rows.row_length(r));
    for (std::size_t i = 0; i < rows.row_length(r); ++i) out.varint(rows.symbol(r, i));
  }
  return std::move(out).take();
}

std::expected<bct::Mixture, std::string> load_mixture(std::span<const std::uint8_t> state) {
  StateReader in(state);
  if (in.kind() != StateKind::Mixture && in) in.fail("it holds no mixture");
  const bool starts = in.version(STARTS_VERSION) == STARTS_VERSION;
  const std::uint64_t alphabet_size = in.varint();
  const std::uint64_t max_depth = in.varint_at_most(MAX_DEPTH, "max_depth");
  if (starts) {
    // The only mode layout 2 holds: any other would save as something else.
    const std::uint8_t mode = in.byte();
    if (in && mode != STARTS_MODE) {
      in.fail("mode " + std::to_string(mode) + " is not 1 (rows counted from their start)");
    }
  }
  const double beta = in.float64();
  if (!in) return std::unexpected(in.error());
  if (alphabet_size > std::numeric_limits<std::size_t>::max()) {
    in.fail("alphabet_size " + std::to_string(alphabet_size) + " exceeds this machine's word");
    return std::unexpected(in.error());
  }
  if (auto counts = Counts::create(alphabet_size, max_depth, 0); !counts) {
    in.fail(counts.error());
    return std::unexpected(in.error());
  }
  auto prior = bct::BctPrior::checked(alphabet_size, beta);
  if (!prior) in.fail(prior.error());
  const std::uint8_t tag = in.byte();
  if (in && tag != KNESER_NEY) in.fail("estimator " + std::to_string(tag) + " is not 'K'");
  if (!in.fits((max_depth + 1) * (bct::KneserNey::CLASSES + 1), 8)) {
    return std::unexpected(in.error());
  }
  std::vector<double> discounts((max_depth + 1) * bct::KneserNey::CLASSES);
  std::vector<double> concentrations(max_depth + 1);
  for (double& d : discounts) d = in.float64();
  for (double& theta : concentrations) theta = in.float64();
  if (!in) return std::unexpected(in.error());
  auto estimator =
      bct::KneserNey::checked(alphabet_size, std::move(discounts), std::move(concentrations));
  if (!estimator) {
    in.fail(estimator.error());
    return std::unexpected(in.error());
  }
  const std::uint64_t row_count = in.varint();
  if (!in.fits(row_count, 1)) return std::unexpected(in.error());
  Rows rows;
  for (std::uint64_t r = 0; r < row_count && in; ++r) {
    const std::uint64_t length = in.varint();
    if (!in.fits(length, 1)) break;
    rows.reserve_symbols(static_cast<std::size_t>(length));
    for (std::uint64_t i = 0; i < length && in; ++i) {
      const std::uint64_t symbol = in.varint();
      if (in && symbol >= alphabet_size) {
        in.fail("symbol " + std::to_string(symbol) + " of row " + std::to_string(r) +
                " is outside 0.." + std::to_string(alphabet_size));
      }
      rows.push_symbol(static_cast<Symbol>(symbol));
    }
    rows.end_row();
  }
  in.expect_end();
  if (!in) return std::unexpected(in.error());
  bct::Mixture mixture(alphabet_size, max_depth, *prior, std::move(*estimator), starts);
  if (auto grown = mixture.update(rows, false); !grown) {
    throw InternalFault("mixture state: " + grown.error());
  }
  return mixture;
}

}  // namespace ostrel
