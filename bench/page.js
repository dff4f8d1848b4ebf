// Drives Chromium over report pages and prints, per template and size, the
// median (min-max) of: the first rows painted (the largest contentful
// paint), load to the first frame drawn after the load event,
// and on to the page's first quiet moment (work a page leaves for after it
// is drawn ends by then), the browser's reading of the page and the
// script's setup at DOMContentLoaded, a sort by each kind of column
// (name, then reversed; size), a click into the filter (its focus) and
// three keystrokes into it, and the
// page's JavaScript heap and DOM nodes after all that; and the report's
// bytes. A template named "plain" is the floor: the first rows, the settled
// page and the bytes of each other template are printed again as ratios of
// its medians at the same size; a page without sort buttons (the plain
// table) is only loaded.
//
//   node bench/page.js RUNS NAME:N:REPORT...     (bench/page.sh runs it)
"use strict";

const fs = require("node:fs");
const { chromium } = require("playwright-core");

const [runs, ...reports] = process.argv.slice(2);

// Resolves once the frame after now has been drawn.
const NEXT_FRAME = "new Promise(done => requestAnimationFrame(() => setTimeout(done, 0)))";
// Resolves once the page has nothing left to do: an idle period of the full
// 50 ms, which the browser grants only when no task or frame is due.
const SETTLED = `new Promise(done => {
  const wait = () => requestIdleCallback(idle => (idle.timeRemaining() > 40 ? done() : wait()));
  wait();
})`;

async function measure(browser, file) {
  const context = await browser.newContext({ viewport: { width: 1366, height: 900 } });
  const page = await context.newPage();
  const cdp = await context.newCDPSession(page);
  await cdp.send("Performance.enable");
  // Kept from the start, as the page's own policy does not cover the driver.
  await page.addInitScript(() => {
    window.lcpTimes = [];
    new PerformanceObserver(list => {
      for (const entry of list.getEntries()) window.lcpTimes.push(entry.renderTime || entry.startTime);
    }).observe({ type: "largest-contentful-paint", buffered: true });
  });
  const times = { bytes: fs.statSync(file).size / 1024 };
  let start = Date.now();
  await page.goto("file://" + file, { waitUntil: "load", timeout: 600000 });
  await page.evaluate(NEXT_FRAME);
  times.load = Date.now() - start;
  await page.evaluate(SETTLED);
  times.settled = Date.now() - start;
  // Where the load went: the browser reading the page up to its end, and
  // the page's own script at DOMContentLoaded (an older template that sets
  // up from the end of its body counts that within the reading).
  const nav = await page.evaluate(() => performance.getEntriesByType("navigation")[0].toJSON());
  times.read = nav.domInteractive;
  times.setup = nav.domContentLoadedEventEnd - nav.domContentLoadedEventStart;
  times["first rows"] = await page.evaluate(() => window.lcpTimes.at(-1));
  if (await page.$("#downloads th button") === null) {
    await context.close();
    return times;
  }

  // One user action, timed from its event to the frame that shows it.
  const timed = action => page.evaluate(`(async () => {
    const start = performance.now();
    ${action};
    await ${NEXT_FRAME};
    return performance.now() - start;
  })()`);
  const click = label =>
    timed(`[...document.querySelectorAll("#downloads th button")]
             .find(b => b.textContent.trim().startsWith(${JSON.stringify(label)})).click()`);
  times["sort name"] = await click("Name");
  times["sort name rev"] = await click("Name");
  times["sort size"] = await click("Size");
  // As a person does, the filter is clicked into before it is typed in;
  // the page may do work of its own then, timed here apart.
  times["focus filter"] = await timed(`document.getElementById("filter").focus()`);
  let typed = 0;
  let text = "";
  for (const letter of "set") {
    text += letter;
    typed = Math.max(typed, await timed(`{
      const filter = document.getElementById("filter");
      filter.value = ${JSON.stringify(text)};
      filter.dispatchEvent(new Event("input"));
    }`));
  }
  times["key (worst of 3)"] = typed;
  const metrics = Object.fromEntries(
      (await cdp.send("Performance.getMetrics")).metrics.map(m => [m.name, m.value]));
  times["heap MiB"] = metrics.JSHeapUsedSize / 1048576;
  times["nodes k"] = metrics.Nodes / 1000;
  await context.close();
  return times;
}

function median(values) {
  const sorted = values.filter(Number.isFinite).sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

(async () => {
  const browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
           "--disable-background-networking", "--disable-component-update"],
  });
  const results = new Map();  // "name N" -> measure name -> values
  for (let round = 0; round < Number(runs); round++) {
    for (const report of reports) {
      const [name, n, file] = report.split(":");
      const key = `${n.padStart(6)}  ${name}`;
      if (!results.has(key)) results.set(key, {});
      let times;
      try {
        times = await measure(browser, file);
      } catch (error) {
        times = { failed: error.message.split("\n")[0] };
      }
      for (const [what, value] of Object.entries(times)) {
        (results.get(key)[what] ||= []).push(value);
      }
    }
  }
  await browser.close();
  const columns = ["first rows", "load", "settled", "read", "setup", "sort name", "sort name rev", "sort size",
                   "focus filter", "key (worst of 3)", "heap MiB", "nodes k", "bytes KiB"];
  console.log(`median (min-max) of ${runs} runs; times in ms`);
  console.log("     N  template  " + columns.map(c => c.padStart(20)).join(""));
  for (const [key, values] of results) {
    if (values.failed) {
      console.log(`${key}  failed: ${values.failed[0]}`);
      continue;
    }
    values["bytes KiB"] = values.bytes;
    console.log(key.padEnd(18) + columns.map(c => {
      // A page may paint no contentful element the browser counts.
      const v = (values[c] || []).filter(Number.isFinite);
      if (v.length === 0) return "-".padStart(20);
      const digits = c.endsWith("k") || c.endsWith("MiB") ? 1 : 0;
      return `${median(v).toFixed(digits)} (${Math.min(...v).toFixed(digits)}-${Math.max(...v).toFixed(digits)})`.padStart(20);
    }).join(""));
  }
  // Each template against the plain table of the same size, medians.
  const ratios = [["first rows", "first rows"], ["settled", "settled"], ["bytes", "bytes"]];
  console.log("\nas ratios of the plain table's medians (first rows: at most 1.5; settled: at most 0.5" +
              " at 10 000 and up; bytes: at most 1.15)");
  console.log("     N  template  " + ratios.map(([label]) => label.padStart(12)).join(""));
  for (const [key, values] of results) {
    const n = key.trim().split(/\s+/)[0];
    const floor = results.get(`${n.padStart(6)}  plain`);
    if (!floor || key.endsWith("plain") || values.failed || floor.failed) continue;
    console.log(key.padEnd(18) + ratios.map(([, what]) =>
      (median(values[what]) / median(floor[what])).toFixed(2).padStart(12)).join(""));
  }
})();
