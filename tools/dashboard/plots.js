// uPlot charts of a link card: frames, damaged frames and seq gaps per
// second, and a field of a message over time. uPlot comes from its browser
// build as the global `uPlot`.

const WIDTH = 520;
const HEIGHT = 180;
const TIME_LABEL_SPACE = 80; // px between time ticks: an HH:MM:SS label is about 60 wide
const SERIES = [
  { label: 'frames/s', stroke: '#2f6fd0', width: 1.5 },
  { label: 'damaged/s', stroke: '#c0392b', width: 1.5 },
  { label: 'seq gaps/s', stroke: '#d68910', width: 1.5 },
];

// Times in UTC, as the frame log shows them.
function clock(seconds) {
  return new Date(seconds * 1000).toISOString().slice(11, 19);
}

export function makePlot(container, columns) {
  const options = {
    width: WIDTH,
    height: HEIGHT,
    series: [{ value: (plot, seconds) => (seconds === null ? '--' : clock(seconds)) }, ...SERIES],
    axes: [{ values: (plot, ticks) => ticks.map(clock), space: TIME_LABEL_SPACE }, { label: 'per second', size: 50 }],
    scales: { y: { range: (plot, low, high) => [0, Math.max(1, high)] } },
  };
  return new window.uPlot(options, columns, container);
}

// One number over time, a point per frame that carried it.
export function makeFieldPlot(container, label, columns) {
  const options = {
    width: WIDTH,
    height: HEIGHT,
    series: [{ value: (plot, seconds) => (seconds === null ? '--' : clock(seconds)) },
      { label, stroke: '#17803d', width: 1, points: { show: true, size: 4 } }],
    axes: [{ values: (plot, ticks) => ticks.map(clock), space: TIME_LABEL_SPACE }, { size: 60 }],
  };
  return new window.uPlot(options, columns, container);
}
