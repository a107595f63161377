#pragma once
// CPU time used by this process so far, in milliseconds: how a test tells a loop that waits from
// one that spins.

namespace korv::test {

double ProcessCpuMs();

}  // namespace korv::test
