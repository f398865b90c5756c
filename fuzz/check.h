// What a fuzz target asserts about what a parser made of its input: a property that does not
// hold aborts, so that libFuzzer keeps the input that broke it.
#ifndef HALSHIFT_FUZZ_CHECK_H_
#define HALSHIFT_FUZZ_CHECK_H_

#include <cstdlib>

namespace halshift::fuzzing {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace halshift::fuzzing

#endif  // HALSHIFT_FUZZ_CHECK_H_
