#include "analysis/analysis_state.h"

namespace vornix {

SharedAnalysisState& processAnalysisState() {
  static SharedAnalysisState state;
  return state;
}

}  // namespace vornix
