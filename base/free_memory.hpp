#pragma once

namespace mirelo {

// Hands the heap's free pages back to the system. After a large buffer is freed, glibc raises its
// thresholds for mapping and trimming, so the pages of later temporaries stay resident once freed
// and add to the peak of the next stage; calling this between stages keeps only live data.
void return_free_memory();

}  // namespace mirelo
