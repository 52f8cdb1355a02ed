# Plot of the load runs: requests per second and p99 latency against the number of sessions, for
# this tree's server and the baseline server of the same run. Called by scripts/bench with
# datafile (columns: sessions, requests/s new and baseline, p99 of all requests new and baseline,
# p99 of buys new and baseline, p99 of sells new and baseline, in ms), baseline (the baseline's
# label) and outfile set.
set terminal pngcairo size 900,760 font "sans,10"
set output outfile
set multiplot layout 2,1
set logscale x 2
set xtics (1, 2, 4, 8, 16)
set xrange [0.8:20]
set grid
set key top left

set title "Throughput, all sessions together"
set ylabel "requests per second"
set yrange [0:*]
plot datafile using 1:2 with linespoints lw 2 pt 7 lc 1 title "new", \
     datafile using 1:3 with linespoints lw 2 pt 5 lc 2 dt 2 title baseline

set title "p99 latency, request written to prompt read"
set xlabel "sessions at once"
set ylabel "ms"
plot datafile using 1:4 with linespoints lw 2 pt 7 lc 1 title "new, all requests", \
     datafile using 1:5 with linespoints lw 2 pt 5 lc 2 dt 2 title baseline.", all requests", \
     datafile using 1:6 with linespoints pt 9 lc 3 title "new, buy", \
     datafile using 1:7 with linespoints pt 9 lc 4 dt 2 title baseline.", buy", \
     datafile using 1:8 with linespoints pt 11 lc 6 title "new, sell", \
     datafile using 1:9 with linespoints pt 11 lc 7 dt 2 title baseline.", sell"
unset multiplot
