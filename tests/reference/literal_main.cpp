// The program with the literal reference engine in place of the fast one:
// the side-by-side baseline of the benchmarks and the end-to-end comparisons.
// Same command line as strataperm.
#include "commands/cli.hpp"
#include "literal_engine.hpp"

namespace {

strataperm::AnalysisResult literal_engine(const strataperm::Parameters& parameters,
                                          const strataperm::SampleData& data,
                                          strataperm::MarkerSource& markers,
                                          strataperm::RandomStream& stream,
                                          const strataperm::AnalysisOptions& options) {
  return strataperm::literal::run_analysis(parameters, data, markers, stream, options);
}

}  // namespace

int main(int argc, char** argv) {
  return strataperm::run_command_line(argc, argv, literal_engine);
}
