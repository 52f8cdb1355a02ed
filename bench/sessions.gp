# Plot of the sessions-at-once section: orders per second and latency per order against the
# number of sessions, all on one coin and spread over four. Called by scripts/bench with
# datafile (columns: sessions, orders/s on one coin and on four, p50 of each, p99 of each, in ms)
# and outfile set.
set terminal pngcairo size 900,760 font "sans,10"
set output outfile
set multiplot layout 2,1
set logscale x 2
set xtics (16, 64, 256, 1000)
set xrange [10:1600]
set grid
set key top right

set title "Orders per second, all sessions together"
set ylabel "orders per second"
set yrange [0:*]
plot datafile using 1:2 with linespoints lw 2 pt 7 lc 1 title "one coin", \
     datafile using 1:3 with linespoints lw 2 pt 5 lc 2 title "four coins"

set title "Latency per order, request written to prompt read"
set xlabel "sessions at once"
set ylabel "ms"
set logscale y 10
set yrange [*:*]
set key top left
plot datafile using 1:6 with linespoints lw 2 pt 7 lc 1 title "one coin, p99", \
     datafile using 1:7 with linespoints lw 2 pt 5 lc 2 title "four coins, p99", \
     datafile using 1:4 with linespoints pt 6 lc 1 dt 2 title "one coin, p50", \
     datafile using 1:5 with linespoints pt 4 lc 2 dt 2 title "four coins, p50"
unset multiplot
