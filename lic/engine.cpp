#include "lic/fast_lic.h"

namespace fastlic {

void computeFastLic(RegGrid& grid, int /*threads*/) { computeFastLicReference(grid); }

void computeFastLic() { computeFastLic(*currentField); }

}  // namespace fastlic
