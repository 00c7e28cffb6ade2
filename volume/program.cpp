#include "program.h"

namespace kel {
namespace {

void report(const Program &program, const char *label, const char *reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s%s\n", program.name, label, reason);
}

}  // namespace

int run_program(const Program &program, const std::function<int()> &body) {
    try {
        return body();
    } catch (const UsageError &error) {
        report(program, "", error.what());
        if (program.print_usage != nullptr) program.print_usage(stderr);
        return 2;
    } catch (const std::exception &error) {
        report(program, program.failure_label, error.what());
        return 1;
    } catch (...) {
        report(program, program.failure_label, "an exception that is not a std::exception");
        return 1;
    }
}

}  // namespace kel
