# The benchmark figures against their targets: a bar at or above 1 meets its target.
# gnuplot -e "datafile='docs/performance.dat'; outfile='docs/performance.png'" bench/performance.gp
set terminal pngcairo size 1000,520 font ",11"
set output outfile
set title "KS318: each figure against its target (1 = target; above meets it)"
set style data histograms
set style fill solid 0.8 border -1
set boxwidth 0.7
set logscale y 2
set yrange [0.125:64]
set ylabel "figure ÷ target, log scale (time figures inverted)"
set xtics rotate by -30 left
set grid ytics
unset key
plot datafile using 2:xtic(1) linecolor rgb "#3b7dd8", 1 with lines dashtype 2 linewidth 2 linecolor rgb "#c03030"
