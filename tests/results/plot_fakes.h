// Fakes and a scratch working folder for the plot-history, report and dump
// tests.
#pragma once

#include <gtest/gtest.h>

#include "tests/results/plot_model_fakes.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace plottest {

// Each test in a scratch working folder of its own.
class PlotFolder : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  testsupport::ScopedCurrentFolder here_{dir_.path()};
};

}  // namespace plottest
