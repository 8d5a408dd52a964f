// The simulate command's usage, which the top-level help prints too.
#pragma once

inline constexpr char SimulateUsage[] =
    "usage: vekcrash simulate [--sys PATH | --image PATH] [--stats] [--instruction-limit N]\n"
    "                         [--seed N] [--state PATH] [SCENARIO.json]\n"
    "\n"
    "Runs the scenario (or, without one, a default machine that loads the driver\n"
    "and stops with bug check 0xD1) and prints the serial console on stdout.\n"
    "  --sys PATH     run the shipped vekcrashdmp.sys on an emulated x64 processor\n"
    "  --image PATH   host build of the driver to load (default: the one beside vekcrash)\n"
    "  --stats        print run time and, with --sys, emulated instructions and calls\n"
    "  --instruction-limit N\n"
    "                 with --sys, instructions one call into the driver may run before\n"
    "                 it counts as runaway code (default 200000000)\n"
    "  --seed N       seed for the model's random choices, 0 to 2^64-1 (overrides the\n"
    "                 scenario's \"seed\")\n"
    "  --state PATH   write the machine's final state (synthetic MSRs, reference TSC\n"
    "                 page, pool blocks and handles left) to PATH as JSON\n";
