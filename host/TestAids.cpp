#include "host/TestAids.h"

namespace opxhost {

TestAids& testAids() {
    static TestAids aids;
    return aids;
}

}  // namespace opxhost
