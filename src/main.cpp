#include "front_end.h"

int main(int argc, char *argv[]) {
    return pathvane::pathvane_main(argc, argv, {PATHVANE_TABLE, PATHVANE_FALLBACK});
}
