# Turns the default scenario file into a C++ source, so the tool carries
# the same machine the examples folder documents.
file(READ ${INPUT} TEXT)
file(WRITE ${OUTPUT} "// Generated from examples/scenarios/default.json.\n#include \"sim/scenario.h\"\nnamespace sim {\nconst std::string& DefaultScenarioText()\n{\n    static const std::string text = R\"vekscenario(${TEXT})vekscenario\";\n    return text;\n}\n}  // namespace sim\n")
