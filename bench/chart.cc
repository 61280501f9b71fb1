// DrawChart (declared in report.h): gnuplot draws the recording cases.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "report.h"

namespace bench {

bool DrawChart(const std::vector<CaseResult> &results, const std::string &png) {
  std::string data = png + ".dat", script = png + ".gp";
  std::ofstream d(data);
  // One block per (path, write size) on the loop target (the image where
  // there is no loop device): channels, MiB/s, CPU s/GiB.
  bool loop = std::any_of(results.begin(), results.end(),
                          [](const CaseResult &r) { return r.target == "loop"; });
  std::string target = loop ? "loop" : "image";
  std::vector<std::string> titles;
  for (Mode mode : {Mode::kLibrary, Mode::kRaw, Mode::kExt4}) {
    for (uint32_t size : {64u << 10, 256u << 10, 1u << 20}) {
      std::ostringstream block;
      int rows = 0;
      for (const CaseResult &r : results) {
        if (r.target != target || r.mode != mode || r.c.writeSize != size) continue;
        Summary s = Summarize(r);
        if (!s.ok) continue;
        block << r.c.channels << " " << s.mib.median << " " << s.cpu.median << "\n";
        ++rows;
      }
      if (rows == 0) continue;
      d << block.str() << "\n\n";
      titles.push_back(std::string(ModeName(mode)) + " " + SizeText(size));
    }
  }
  d.close();
  if (titles.empty()) return false;
  std::ofstream g(script);
  g << "set terminal pngcairo size 1100,480 font ',10'\nset output '" << png << "'\n"
    << "set multiplot layout 1,2 title 'Recording on a " << target
    << " device: zrfs vs raw pwrite vs ext4'\n"
    << "set logscale x 2\nset xrange [0.8:80]\nset xtics (1,4,16,64)\nset xlabel 'channels'\nset "
       "key bottom left font "
       "',8'\nset grid\n";
  for (int panel = 0; panel < 2; ++panel) {
    g << (panel == 0 ? "set ylabel 'MiB/s'\nset yrange [0:*]\n"
                     : "set ylabel 'CPU seconds per GiB'\nset yrange [0:*]\n");
    g << "plot ";
    for (size_t i = 0; i < titles.size(); ++i) {
      int color = titles[i].rfind("zrfs", 0) == 0 ? 1 : titles[i].rfind("raw", 0) == 0 ? 2 : 3;
      int dash = titles[i].find("64 KiB") != std::string::npos ? 1
                 : titles[i].find("256") != std::string::npos  ? 2
                                                               : 3;
      g << (i ? ", " : "") << "'" << data << "' index " << i << " using 1:" << (panel == 0 ? 2 : 3)
        << " with linespoints lc " << color << " dt " << dash << " pt " << (6 + dash) << " title '"
        << titles[i] << "'";
    }
    g << "\n";
  }
  g << "unset multiplot\n";
  g.close();
  bool ok = system(("gnuplot " + script + " 2>/dev/null").c_str()) == 0;
  remove(data.c_str());
  remove(script.c_str());
  return ok;
}

}  // namespace bench
