#include "simulator/uSimConfig.h"

std::string SimIdentification(const TSimConfig& config) {
  if (!config.Identification.empty()) return config.Identification;
  std::string text = "VELTO ";
  if (!config.InterfaceWord.empty()) text += config.InterfaceWord + " ";
  text += std::to_string(config.InputCount) + "/" + std::to_string(config.OutputCount);
  text += ";V1.02.03;F97";
  if (config.ThermometerCount > 0) text += ";T" + std::to_string(config.ThermometerCount);
  return text;
}
