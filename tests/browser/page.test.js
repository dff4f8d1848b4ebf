// The report page in Debian's Chromium: reports written by the real program
// (run.sh makes them) from a list of five downloads whose page is known line
// by line, from the demo list, from an empty list and with no list at all.
"use strict";

const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const { test, describe, before, after } = require("node:test");
const { chromium } = require("playwright-core");
const { HtmlValidate } = require("html-validate");

const REPORTS = process.env.REPORTS;
const ARTIFACTS = process.env.ARTIFACTS;
const TEMPLATE = process.env.TEMPLATE;

const PHONE = { width: 390, height: 844 };
const DESKTOP = { width: 1366, height: 900 };

let browser;

before(async () => {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
});

after(async () => {
  if (browser) await browser.close();
});

function reportUrl(name) {
  return "file://" + path.join(REPORTS, name + ".htm");
}

// Opens a report and records what would go wrong unseen: script errors,
// console errors, and any request for something other than a local file.
async function openReport(name, options = {}) {
  const context = await browser.newContext({
    viewport: options.viewport || DESKTOP,
    colorScheme: options.colorScheme || "light",
    javaScriptEnabled: options.javaScriptEnabled !== false,
    locale: "en-US",
  });
  const page = await context.newPage();
  const problems = [];
  page.on("pageerror", error => problems.push("page error: " + error.message));
  page.on("console", message => {
    if (message.type() === "error") problems.push("console: " + message.text());
  });
  page.on("request", request => {
    if (!request.url().startsWith("file:")) problems.push("request: " + request.url());
  });
  await page.goto(reportUrl(name), { waitUntil: "load" });
  return {
    page,
    async close() {
      await context.close();
      assert.deepEqual(problems, [], "the page ran without errors or requests");
    },
  };
}

async function withReport(name, options, check) {
  const report = await openReport(name, options);
  try {
    await check(report.page);
  } finally {
    await report.close();
  }
}

// Names of the rows a reader sees, top to bottom.
function visibleNames(page) {
  return page.$$eval("#downloads tbody tr", rows =>
    rows.filter(row => row.checkVisibility())
        .map(row => row.cells[0].textContent.trim()));
}

function summary(page) {
  return page.textContent("#summary");
}

async function clickSort(page, label) {
  await page.click(`#downloads th button:text-is("${label}")`);
}

async function screenshots(name) {
  for (const [width, viewport] of [["phone", PHONE], ["desktop", DESKTOP]]) {
    for (const colorScheme of ["light", "dark"]) {
      await withReport(name, { viewport, colorScheme }, page =>
        page.screenshot({
          path: path.join(ARTIFACTS, `${name}-${width}-${colorScheme}.png`),
          fullPage: true,
        }));
    }
  }
}

// Widths either side of the switch between cards and the table.
async function fitsWidths(name) {
  for (const width of [PHONE.width, 800, 1000, DESKTOP.width]) {
    await withReport(name, { viewport: { width, height: 900 } }, async page => {
      const scrollWidth = await page.evaluate(() => document.documentElement.scrollWidth);
      assert.ok(scrollWidth <= width, `at ${width}px the page is ${scrollWidth}px wide`);
    });
  }
}

describe("template", () => {
  const text = fs.readFileSync(TEMPLATE, "latin1");
  const lines = text.split(/\r\n|\r|\n/);
  const placeholder = /&(Name|URL|Out|DOut|Size|Discr)/;

  test("is plain ASCII, since the report is in whatever code page the PC has", () => {
    const offending = lines.map((line, index) => [index + 1, line])
                           .filter(([, line]) => /[^\x09\x20-\x7e]/.test(line));
    assert.deepEqual(offending, []);
  });

  test("has one block, between one open marker line and one later close marker line", () => {
    const opens = lines.flatMap((line, index) => line.startsWith("{") ? [index] : []);
    const closes = lines.flatMap((line, index) => line.startsWith("}") ? [index] : []);
    assert.equal(opens.length, 1, "lines starting with {");
    assert.equal(closes.length, 1, "lines starting with }");
    assert.ok(opens[0] < closes[0], "the open marker comes first");
  });

  test("has placeholders only in the block, the only lines where they are replaced", () => {
    const open = lines.findIndex(line => line.startsWith("{"));
    const close = lines.findIndex(line => line.startsWith("}"));
    const stray = lines.map((line, index) => [index + 1, line])
                       .filter(([number, line]) =>
                         (number - 1 <= open || number - 1 >= close) && placeholder.test(line));
    assert.deepEqual(stray, []);
  });

  test("declares no character set", () => {
    const declarations = lines.filter(line => /<meta[^>]*(charset|content-type)/i.test(line));
    assert.deepEqual(declarations, []);
  });
});

describe("report of the five-download list", () => {
  // Row by row, in the registry's order: the shown size, its tooltip, the
  // link targets. Sizes cover bytes, KiB..GiB, unknown (-1) and a 3 GiB file
  // whose size reads as a negative 32-bit number.
  // The native program links a folder on C: as the Linux folder the prefix
  // maps C: to; D: and E: are not mapped and keep the Windows form.
  const driveC = "file://" + process.env.DRIVE_C;
  const rows = [
    { name: "alpha", size: "14.5 MiB", title: "15,234,567 bytes",
      url: "https://example.org/files/alpha-setup.exe", folder: driveC + "/Downloads/" },
    { name: "bravo", size: "unknown", title: "Size not known",
      url: "ftp://ftp.example.net/pub/bravo.iso", folder: "file://D:\\ISO\\" },
    { name: "charlie", size: "900 bytes", title: "900 bytes",
      url: "http://example.com/get?id=7&Size=2&name=charlie.txt",
      folder: driveC + "/Downloads/notes/" },
    { name: "delta", size: "1.5 GiB", title: "1,610,612,736 bytes",
      url: "https://example.org/delta.zip", folder: "file://E:\\Archive\\" },
    { name: "echo", size: "3.0 GiB", title: "3,221,225,472 bytes",
      url: "https://example.org/echo.tar.gz", folder: driveC + "/Downloads/" },
  ];

  test("shows every download with human sizes, exact tooltips and its links", () =>
    withReport("fixture", {}, async page => {
      const shown = await page.$$eval("#downloads tbody tr", trs => trs.map(tr => {
        const size = tr.querySelector("td.size");
        return {
          name: tr.cells[0].textContent.trim(),
          size: size.textContent.trim(),
          title: size.title,
          url: tr.querySelector("td.url a").getAttribute("href"),
          folder: tr.querySelector("td.dir a").getAttribute("href"),
        };
      }));
      assert.deepEqual(shown, rows);
    }));

  test("opens a download's folder from its link", () =>
    withReport("fixture", {}, async page => {
      await page.click("#downloads tbody tr:nth-child(3) td.dir a");
      await page.waitForURL(driveC + "/Downloads/notes/");
      assert.match(await page.textContent("body"), /Index of/);
    }));

  test("shows a description as the markup it holds", () =>
    withReport("fixture", {}, async page => {
      const cell = page.locator("#downloads tbody tr:nth-child(3) td.discr");
      assert.equal(await cell.textContent(), 'Notes with bold and "quotes"');
      assert.equal(await cell.locator("b").textContent(), "bold");
    }));

  test("sums up the count and the known sizes", () =>
    withReport("fixture", {}, async page => {
      assert.equal(await summary(page), "5 downloads, 4.5 GiB in total (1 of unknown size)");
      assert.equal(await page.getAttribute("#summary", "title"), "4,847,073,675 bytes");
    }));

  test("sorts by size largest first, and a second click reverses", () =>
    withReport("fixture", {}, async page => {
      await clickSort(page, "Size");
      assert.deepEqual(await visibleNames(page), ["echo", "delta", "alpha", "charlie", "bravo"]);
      assert.equal(await page.getAttribute("th.size", "aria-sort"), "descending");
      await clickSort(page, "Size");
      assert.deepEqual(await visibleNames(page), ["bravo", "charlie", "alpha", "delta", "echo"]);
      assert.equal(await page.getAttribute("th.size", "aria-sort"), "ascending");
    }));

  test("sorts by name and by description, each click reversing", () =>
    withReport("fixture", {}, async page => {
      const steps = [
        { column: "Name", want: ["alpha", "bravo", "charlie", "delta", "echo"] },
        { column: "Name", want: ["echo", "delta", "charlie", "bravo", "alpha"] },
        // Descriptions: (none), Archive, Disc image, Installer, Notes...
        { column: "Description", want: ["echo", "delta", "bravo", "alpha", "charlie"] },
        { column: "Description", want: ["charlie", "alpha", "bravo", "delta", "echo"] },
      ];
      for (const step of steps) {
        await clickSort(page, step.column);
        assert.deepEqual(await visibleNames(page), step.want, `after clicking ${step.column}`);
      }
    }));

  test("filters rows by name, URL, file and description, ignoring case", () =>
    withReport("fixture", {}, async page => {
      const cases = [
        { filter: "ftp.example", names: ["bravo"],
          summary: "1 of 5 downloads shown (1 of unknown size)" },
        { filter: "ARCHIVE", names: ["delta"], summary: "1 of 5 downloads shown, 1.5 GiB in total" },
        { filter: "c:\\downloads", names: ["alpha", "charlie", "echo"],
          summary: "3 of 5 downloads shown, 3.0 GiB in total" },
        { filter: "notes bold", names: ["charlie"], summary: "1 of 5 downloads shown, 900 bytes in total" },
        // Sizes and the folder link text are not searched.
        { filter: "MiB", names: [], summary: "0 of 5 downloads shown" },
        { filter: "folder", names: [], summary: "0 of 5 downloads shown" },
        { filter: "", names: ["alpha", "bravo", "charlie", "delta", "echo"],
          summary: "5 downloads, 4.5 GiB in total (1 of unknown size)" },
      ];
      for (const c of cases) {
        await page.fill("#filter", c.filter);
        assert.deepEqual(await visibleNames(page), c.names, `filter "${c.filter}"`);
        assert.equal(await summary(page), c.summary, `filter "${c.filter}"`);
      }
    }));

  test("keeps the filter while sorting", () =>
    withReport("fixture", {}, async page => {
      await page.fill("#filter", "example.org");
      await clickSort(page, "Size");
      assert.deepEqual(await visibleNames(page), ["echo", "delta", "alpha"]);
    }));

  test("is a complete table without script", () =>
    withReport("fixture", { javaScriptEnabled: false }, async page => {
      const sizes = await page.$$eval("#downloads tbody td.size",
                                      cells => cells.map(cell => cell.textContent.trim()));
      assert.deepEqual(sizes, ["15234567", "-1", "900", "1610612736", "-1073741824"]);
      assert.equal(await page.isVisible("#filter"), false);
      assert.equal(await page.textContent("th.size"), "Size (bytes)");
    }));

  test("is valid HTML", async () => {
    // Values go into the page unescaped, so an ampersand in a URL stays raw;
    // that is valid HTML, which these two stricter rules would flag.
    const validator = new HtmlValidate({
      extends: ["html-validate:recommended"],
      rules: { "no-raw-characters": "off", "unrecognized-char-ref": "off" },
    });
    const report = await validator.validateFile(path.join(REPORTS, "fixture.htm"));
    const messages = report.results.flatMap(result => result.messages.map(
      message => `${message.line}:${message.column} ${message.ruleId}: ${message.message}`));
    assert.deepEqual(messages, []);
  });

  test("needs no sideways scrolling from phone to desktop width", () =>
    fitsWidths("fixture"));

  test("screenshots", () => screenshots("fixture"));
});

describe("report of the demo list", () => {
  const demoReg = REPORTS && path.join(REPORTS, "demo.reg");
  const haveDemo = demoReg && fs.existsSync(demoReg);

  // The demo's downloads, counted from its .reg file.
  function demoDownloads() {
    const bytes = fs.readFileSync(demoReg);
    const text = bytes[0] === 0xff && bytes[1] === 0xfe
        ? bytes.toString("utf16le") : bytes.toString("latin1");
    return text.split(/\r?\n/).filter(line =>
      /^\[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList\\[^\]]+\]\s*$/i.test(line)).length;
  }

  test("shows one row per download and counts them", { skip: !haveDemo && "no demo list" },
       () => withReport("demo", {}, async page => {
         const count = demoDownloads();
         assert.ok(count > 0);
         assert.equal(await page.locator("#downloads tbody tr").count(), count);
         assert.match(await summary(page), new RegExp(`^${count} downloads, `));
       }));

  test("sorts by size largest first", { skip: !haveDemo && "no demo list" },
       () => withReport("demo", {}, async page => {
         await clickSort(page, "Size");
         const sizes = await page.$$eval("#downloads tbody tr",
                                         rows => rows.map(row => row.dataset.size));
         const known = sizes.map(Number).filter(size => size !== -1)
                            .map(size => (size < 0 ? size + 2 ** 32 : size));
         assert.deepEqual(known, [...known].sort((a, b) => b - a));
       }));

  test("needs no sideways scrolling from phone to desktop width",
       { skip: !haveDemo && "no demo list" }, () => fitsWidths("demo"));

  test("screenshots", { skip: !haveDemo && "no demo list" }, () => screenshots("demo"));
});

describe("report of an empty list", () => {
  test("says there are no downloads and shows no empty table", () =>
    withReport("empty", {}, async page => {
      assert.equal(await summary(page), "No downloads are listed.");
      assert.equal(await page.isVisible("#summary"), true);
      assert.equal(await page.isVisible("#downloads"), false);
      assert.equal(await page.isVisible("#filter"), false);
    }));
});

describe("report with no download list", () => {
  for (const [width, viewport] of [["phone", PHONE], ["desktop", DESKTOP]]) {
    test(`shows the program's notice in view at ${width} width`, () =>
      withReport("not-found", { viewport }, async page => {
        const notice = page.locator("h3");
        assert.equal(await notice.textContent(), "Orvalink is not found");
        const box = await notice.boundingBox();
        assert.ok(box && box.height > 0 && box.y + box.height <= viewport.height,
                  "the notice lies in the first screen");
        assert.equal(await page.isVisible("#downloads"), false);
        assert.equal(await page.isVisible("#summary"), false);
      }));
  }

  test("shows the notice without script too", () =>
    withReport("not-found", { javaScriptEnabled: false }, async page => {
      assert.equal(await page.isVisible("h3"), true);
    }));

  test("screenshots", () => screenshots("not-found"));
});
