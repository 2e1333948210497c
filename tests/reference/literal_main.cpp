// The program with the literal reference engine in place of the fast one:
// the side-by-side baseline of the benchmarks and the end-to-end comparisons.
#include "driver/run.hpp"
#include "literal_engine.hpp"

namespace {

strataperm::StructureFit literal_engine(const strataperm::Parameters& parameters,
                                        const strataperm::SampleData& data,
                                        strataperm::DoubleVector p_values, std::FILE* results,
                                        strataperm::RandomStream& stream,
                                        const strataperm::EngineOptions&) {
  return strataperm::literal::run_analysis(parameters, data, p_values, results, stream);
}

}  // namespace

int main() { return strataperm::run_study(literal_engine); }
