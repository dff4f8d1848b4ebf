// The report page in Debian's Chromium: reports written by the real program
// (run.sh makes them) from a list of five downloads whose page is known line
// by line, from the demo list, from an empty list and with no list at all.
"use strict";

const assert = require("node:assert/strict");
const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const http = require("node:http");
const path = require("node:path");
const { test, describe, before, after } = require("node:test");
const { chromium } = require("playwright-core");
const { HtmlValidate } = require("html-validate");
const { scriptHash } = require("../../scripts/template-hash.js");

const REPORTS = process.env.REPORTS;
const ARTIFACTS = process.env.ARTIFACTS;
const TEMPLATE = process.env.TEMPLATE;
const HOSTILE_REG = process.env.HOSTILE_REG;
const HOSTILE_PORT = Number(process.env.HOSTILE_PORT);

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
// console errors (a refusal by the page's security policy among them),
// dialogs, and any request for something other than a local file.
async function openReport(name, options = {}) {
  const context = await browser.newContext({
    viewport: options.viewport || DESKTOP,
    colorScheme: options.colorScheme || "light",
    javaScriptEnabled: options.javaScriptEnabled !== false,
    bypassCSP: options.bypassCSP === true,
    locale: "en-US",
  });
  const page = await context.newPage();
  const problems = [];
  page.on("pageerror", error => problems.push("page error: " + error.message));
  page.on("console", message => {
    if (message.type() === "error") problems.push("console: " + message.text());
  });
  page.on("dialog", dialog => {
    problems.push("dialog: " + dialog.message());
    dialog.dismiss().catch(() => {});
  });
  page.on("request", request => {
    if (!request.url().startsWith("file:")) problems.push("request: " + request.url());
  });
  await page.goto(reportUrl(name), { waitUntil: "load" });
  // The page adds tooltips once it is drawn: wait for a moment with nothing
  // left to do, which the browser marks with a full idle period.
  if (options.javaScriptEnabled !== false) {
    await page.evaluate(() => new Promise(done => {
      const wait = () => requestIdleCallback(idle => (idle.timeRemaining() > 40 ? done() : wait()));
      wait();
    }));
  }
  return {
    page,
    problems,
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

// Widths either side of the switch between cards and the table, from the
// narrowest phone to a laptop.
async function fitsWidths(name) {
  for (const width of [320, PHONE.width, 800, 960, 1000, DESKTOP.width]) {
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

  test("has its own script's hash in its Content-Security-Policy", () => {
    assert.ok(text.includes(`script-src '${scriptHash(text)}'`),
              "after editing the script, run: node scripts/template-hash.js");
  });

  test("lets its own script run, and no other, under its Content-Security-Policy", async () => {
    const report = await openReport("fixture");
    try {
      const result = await report.page.evaluate(() => {
        const injected = document.createElement("script");
        injected.textContent = "window.injectedRan = true;";
        document.body.appendChild(injected);
        return { own: document.documentElement.classList.contains("js"),
                 injected: window.injectedRan === true };
      });
      assert.deepEqual(result, { own: true, injected: false });
      // The refusal is the one problem the page reports.
      assert.equal(report.problems.length, 1);
      assert.match(report.problems[0], /^console: .*inline script.*Content Security Policy/);
      report.problems.length = 0;
    } finally {
      await report.close();
    }
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
        const size = tr.querySelector("td:nth-child(5)");
        return {
          name: tr.cells[0].textContent.trim(),
          size: size.textContent.trim(),
          title: size.title,
          url: tr.querySelector("td:nth-child(2) a").getAttribute("href"),
          folder: tr.querySelector("td:nth-child(4) a").getAttribute("href"),
        };
      }));
      assert.deepEqual(shown, rows);
    }));

  test("opens a download's folder from its link", () =>
    withReport("fixture", {}, async page => {
      await page.click("#downloads tbody tr:nth-child(3) td:nth-child(4) a");
      await page.waitForURL(driveC + "/Downloads/notes/");
      assert.match(await page.textContent("body"), /Index of/);
    }));

  test("shows a description as the text it is, markup included", () =>
    withReport("fixture", {}, async page => {
      const cell = page.locator("#downloads tbody tr:nth-child(3) td:nth-child(6)");
      assert.equal(await cell.textContent(), 'Notes with <b>bold</b> and "quotes"');
      assert.equal(await cell.locator("*").count(), 0);
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
      const sizes = await page.$$eval("#downloads tbody td:nth-child(5)",
                                      cells => cells.map(cell => cell.textContent.trim()));
      assert.deepEqual(sizes, ["15234567", "-1", "900", "1610612736", "-1073741824"]);
      assert.equal(await page.isVisible("#filter"), false);
      assert.equal(await page.textContent("th.size"), "Size (bytes)");
    }));

  test("is valid HTML, as are the reports of the hostile and spoofing lists", async () => {
    const validator = new HtmlValidate({ extends: ["html-validate:recommended"] });
    for (const name of ["fixture", "hostile", "spoofs"]) {
      const report = await validator.validateFile(path.join(REPORTS, name + ".htm"));
      const messages = report.results.flatMap(result => result.messages.map(
        message => `${message.line}:${message.column} ${message.ruleId}: ${message.message}`));
      assert.deepEqual(messages, [], name);
    }
  });

  test("needs no sideways scrolling from phone to desktop width", () =>
    fitsWidths("fixture"));

  test("screenshots", () => screenshots("fixture"));
});

// The hostile list's downloads, in the file's order, which is the registry's
// since their names start with their number.
function hostileDownloads() {
  return readDownloads(HOSTILE_REG, "latin1");
}

// The downloads of a .reg file, in the file's order.
function readDownloads(file, encoding) {
  const keyLine = /^\[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList\\(.+)\]$/;
  const valueLine = /^"(Item_\w+)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-f]{8}))$/;
  const downloads = [];
  for (const line of fs.readFileSync(file, encoding).split(/\r?\n/)) {
    const key = keyLine.exec(line);
    const value = valueLine.exec(line);
    if (key) downloads.push({ name: key[1] });
    if (value) {
      downloads.at(-1)[value[1]] =
          value[2] !== undefined ? value[2].replace(/\\(.)/g, "$1") : parseInt(value[3], 16) | 0;
    }
  }
  return downloads;
}

// WCAG 2.2 A and AA, as axe-core checks them, in the page as shown.
const AXE_SOURCE = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");
async function accessibilityViolations(page) {
  // Run through the driver, which the page's security policy does not cover.
  await page.evaluate(AXE_SOURCE);
  return page.evaluate(async () => {
    const result = await window.axe.run(document, {
      runOnly: { type: "tag", values: ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa", "wcag22aa"] },
    });
    return result.violations.map(v => `${v.id}: ${v.nodes.map(n => n.target.join(" ")).join(", ")}`);
  });
}

// WCAG's contrast ratio of two computed colours "rgb(r, g, b)".
function contrast(first, second) {
  const luminance = color => {
    const [r, g, b] = color.match(/[\d.]+/g).slice(0, 3).map(Number).map(c => {
      const v = c / 255;
      return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
  };
  const [light, dark] = [luminance(first), luminance(second)].sort((a, b) => b - a);
  return (light + 0.05) / (dark + 0.05);
}

describe("the page for keyboard and screen reader users", () => {
  for (const [width, viewport] of [["phone", PHONE], ["desktop", DESKTOP]]) {
    for (const colorScheme of ["light", "dark"]) {
      test(`has no WCAG A or AA violation that axe-core finds, ${width} ${colorScheme}`, () =>
        withReport("fixture", { viewport, colorScheme }, async page => {
          assert.deepEqual(await accessibilityViolations(page), []);
          await page.fill("#filter", "no such download");
          assert.deepEqual(await accessibilityViolations(page), [], "with nothing shown");
        }));
    }
  }

  test("names each column header by its words and its sort by aria-sort", () =>
    withReport("fixture", {}, async page => {
      await clickSort(page, "Size");
      const names = [];
      for (const header of await page.getByRole("columnheader").all()) {
        names.push((await header.getAttribute("aria-sort")) + " " +
                   (await header.evaluate(th => th.textContent.trim())));
      }
      for (const label of ["Name", "URL", "File", "Folder", "Size", "Description"]) {
        assert.equal(await page.getByRole("columnheader", { name: label, exact: true }).count(), 1,
                     `the column header named "${label}" (${names})`);
      }
      assert.equal(await page.getByRole("columnheader", { name: "Size", exact: true })
                             .getAttribute("aria-sort"), "descending");
    }));

  test("has a main landmark and announces the count in a status region", () =>
    withReport("fixture", {}, async page => {
      assert.equal(await page.getByRole("main").count(), 1);
      await page.fill("#filter", "example.org");
      assert.equal(await page.getByRole("status").textContent(),
                   "3 of 5 downloads shown, 4.5 GiB in total");
    }));

  test("draws the filter's edge at 3:1 or more against the page, light and dark", async () => {
    for (const colorScheme of ["light", "dark"]) {
      await withReport("fixture", { colorScheme }, async page => {
        const colors = await page.evaluate(() => ({
          edge: getComputedStyle(document.getElementById("filter")).borderTopColor,
          page: getComputedStyle(document.documentElement).backgroundColor,
        }));
        const ratio = contrast(colors.edge, colors.page);
        assert.ok(ratio >= 3, `${colorScheme}: ${colors.edge} on ${colors.page} is ${ratio.toFixed(2)}:1`);
      });
    }
  });

  test("says so in the list when the filter matches nothing", () =>
    withReport("fixture", {}, async page => {
      await page.fill("#filter", "no such download");
      assert.equal((await page.locator("#downloads").innerText()).includes(
                   "No download matches the filter."), true);
      await page.fill("#filter", "");
      assert.equal((await page.locator("#downloads").innerText()).includes(
                   "No download matches the filter."), false);
    }));

  test("lets the keyboard skip past the list, and / go to the filter", () =>
    withReport("fixture", {}, async page => {
      await page.keyboard.press("/");
      assert.equal(await page.evaluate(() => document.activeElement.id), "filter");
      assert.equal(await page.inputValue("#filter"), "", "the / is not typed");
      await page.keyboard.press("Tab");
      assert.match(await page.evaluate(() => document.activeElement.textContent), /skip past the list/i);
      await page.keyboard.press("Enter");
      const after = await page.evaluate(() => {
        const table = document.getElementById("downloads");
        const focused = document.activeElement;
        return focused !== document.body &&
               Boolean(table.compareDocumentPosition(focused) & Node.DOCUMENT_POSITION_FOLLOWING);
      });
      assert.equal(after, true, "the focus is past the list");
      // In a field, a / is text.
      await page.fill("#filter", "a/b");
      assert.equal(await page.inputValue("#filter"), "a/b");
    }));
});

describe("what a reader looks for", () => {
  test("says when the report was written: the file's own date", () =>
    withReport("fixture", {}, async page => {
      const shown = await page.locator("#written time").getAttribute("datetime");
      const file = fs.statSync(path.join(REPORTS, "fixture.htm")).mtimeMs;
      assert.ok(Math.abs(Date.parse(shown) - file) < 1000, `${shown} for ${new Date(file).toISOString()}`);
      assert.match(await page.locator("#written").innerText(), /^Written .*\d{4}/);
    }));

  test("copies an address without following it, as it was", async () => {
    const report = await openReport("spoofs");
    try {
      await report.page.context().grantPermissions(["clipboard-read", "clipboard-write"]);
      for (const [name, address] of [
        ["local.zip", "file:///C:/Downloads/local.zip"],
        // Not a link: copied all the same.
        ["host-share.exe", "file://host/share/x.exe"],
        ["invoice-\u27E8U+202E\u27E9fdp.exe", "https://example.org/invoice-\u202Efdp.exe"],
      ]) {
        const row = report.page.locator("#downloads tbody tr").filter({
          has: report.page.locator("td:nth-child(1)", { hasText: name }) });
        await row.locator("td:nth-child(2)").hover();
        await row.getByRole("button", { name: "Copy address" }).click();
        await row.getByRole("button", { name: "Copied" }).waitFor();
        assert.equal(await report.page.evaluate(() => navigator.clipboard.readText()), address, name);
      }
      assert.equal(report.page.url().endsWith("spoofs.htm"), true, "no link was followed");
    } finally {
      await report.close();
    }
  });
});

describe("going Back to the page", () => {
  test("shows the filter and the sort it had, the rows matching the box", () =>
    withReport("fixture", {}, async page => {
      await clickSort(page, "Size");
      await page.fill("#filter", "example.org");
      const before = await visibleNames(page);
      assert.deepEqual(before, ["echo", "delta", "alpha"]);
      // Open a folder, as a reader would, and come back.
      await page.locator("#downloads tbody td:nth-child(4) a").first().click();
      await page.waitForURL(url => !url.pathname.endsWith(".htm"));
      await page.goBack({ waitUntil: "load" });
      assert.equal(await page.inputValue("#filter"), "example.org");
      assert.deepEqual(await visibleNames(page), before);
      assert.equal(await summary(page), "3 of 5 downloads shown, 4.5 GiB in total");
      assert.equal(await page.locator("th[aria-sort]").getAttribute("aria-sort"), "descending");
    }));
});

// Downloads whose names, addresses and folders try to pass for others.
describe("report of names that try to pass for others", () => {
  const downloads = readDownloads(path.join(__dirname, "spoofs.reg"), "utf8");
  const RLO = "\u202E";
  const ZWSP = "\u200B";
  // Each cell's text, by its file's name.
  const cellsOf = page => page.$$eval("#downloads tbody tr", rows => Object.fromEntries(
      rows.map(row => [row.querySelector("td:nth-child(1)").textContent.trim(), {
        name: row.querySelector("td:nth-child(1)").textContent.trim(),
        url: Array.from(row.querySelector("td:nth-child(2)").children)
            .filter(copy => copy.checkVisibility()).map(copy => copy.textContent).join(""),
        out: row.querySelector("td:nth-child(3)").textContent.trim(),
        // A link the style hides cannot be clicked nor reached with Tab.
        link: (row.querySelector("td:nth-child(2) a") || { checkVisibility: () => false })
            .checkVisibility({ visibilityProperty: true })
            ? row.querySelector("td:nth-child(2) a").href : null,
        folder: row.querySelector("td:nth-child(4) a").getAttribute("href"),
      }])));

  for (const javaScriptEnabled of [true, false]) {
    const script = javaScriptEnabled ? "with script" : "without script";

    test(`shows hidden and reordering characters as tokens, the text in order, ${script}`, () =>
      withReport("spoofs", { javaScriptEnabled }, async page => {
        const text = await page.locator("#downloads").innerText();
        assert.equal(/[\u200B-\u200F\u202A-\u202E\u2066-\u2069]/.test(text), false,
                     "no such character is left in the page's text");
        const cells = await cellsOf(page);
        const invoice = cells["invoice-\u27E8U+202E\u27E9fdp.exe"];
        assert.ok(invoice, Object.keys(cells).join(" | "));
        assert.equal(invoice.url, "https://example.org/invoice-\u27E8U+202E\u27E9fdp.exe");
        assert.equal(invoice.out, "C:\\Downloads\\invoice-\u27E8U+202E\u27E9fdp.exe");
        assert.ok(cells["set\u27E8U+200B\u27E9up.exe"]);
        // Drawn in order: of two letters next to each other on a line, the
        // first is the one on the left.
        const reversed = await page.$$eval("#downloads td:nth-child(1), #downloads td:nth-child(3)", cells =>
          cells.filter(cell => cell.textContent.includes("fdp")).flatMap(cell => {
            const node = cell.firstChild;
            const box = index => {
              const range = document.createRange();
              range.setStart(node, index);
              range.setEnd(node, index + 1);
              return range.getBoundingClientRect();
            };
            const text = node.textContent;
            const out = [];
            for (let i = 0; i + 1 < text.length; i++) {
              const [a, b] = [box(i), box(i + 1)];
              if (a.width && b.width && a.top === b.top && a.left >= b.left) out.push(text.slice(i, i + 2));
            }
            return out;
          }));
        assert.deepEqual(reversed, []);
      }));

    test(`links no file address of another machine, ${script}`, () =>
      withReport("spoofs", { javaScriptEnabled }, async page => {
        const cells = await cellsOf(page);
        const links = Object.fromEntries(Object.values(cells).map(c => [c.name, c.link]));
        assert.deepEqual(links, {
          "invoice-\u27E8U+202E\u27E9fdp.exe": "https://example.org/invoice-%E2%9F%A8U+202E%E2%9F%A9fdp.exe",
          "set\u27E8U+200B\u27E9up.exe": "https://example.org/set%E2%9F%A8U+200B%E2%9F%A9up.exe",
          "Café-menu.pdf": "https://example.org/menu.pdf",
          "cafe": "https://example.org/cafe.html",
          "host-share.exe": null,
          "host-backslash.lnk": null,
          "unc.exe": null,
          "dot-segment.exe": null,
          "localhost-slashes.exe": null,
          "local.zip": "file:///C:/Downloads/local.zip",
          "long.zip": downloads.find(d => d.name === "long.zip").Item_MainURL,
        });
        // Not a link, but shown as the address it is.
        assert.equal(cells["host-backslash.lnk"].url, "file:\\\\host\\share\\x.lnk");
        // Folders in the long-path form link to the folders they name.
        assert.equal(cells["host-share.exe"].folder, "file://\\\\server\\share\\");
        assert.equal(cells["host-backslash.lnk"].folder,
                     "file://" + process.env.DRIVE_C + "/Downloads/");
      }));
  }

  for (const [width, viewport] of [["phone", PHONE], ["desktop", DESKTOP]]) {
    test(`cuts long values to a few lines, each whole a click or a Tab away, ${width}`, () =>
      withReport("spoofs", { viewport }, async page => {
        const long = downloads.find(d => d.name === "long.zip");
        const row = page.locator("#downloads tbody tr", { hasText: "long.zip" });
        const height = (await row.boundingBox()).height;
        assert.ok(height < 400, `the row is ${height}px tall`);
        const whole = selector => row.locator(selector).evaluate(cell =>
          cell.scrollHeight <= cell.clientHeight + 1 && cell.getBoundingClientRect().height > 200);
        assert.equal(await whole("td:nth-child(2)"), false);
        assert.equal(await whole("td:nth-child(6)"), false);
        // The keyboard's way: the row's folder link shows its values whole.
        await row.locator("td:nth-child(4) a").focus();
        assert.equal(await whole("td:nth-child(2)"), true);
        await page.focus("#filter");
        assert.equal(await whole("td:nth-child(6)"), false);
        // A click on the description shows it whole.
        await row.locator("td:nth-child(6)").click({ position: { x: 5, y: 5 } });
        assert.equal(await whole("td:nth-child(6)"), true);
        // Nothing is lost: the text is all there, for a copy too.
        assert.equal(await row.locator("td:nth-child(6)").textContent(), long.Item_Description);
      }));
  }

  test("filters as the sort compares: accents, case and hidden characters aside", () =>
    withReport("spoofs", {}, async page => {
      const cases = [
        { filter: "cafe", names: ["Café-menu.pdf", "cafe"] },
        { filter: "CAFÉ", names: ["Café-menu.pdf", "cafe"] },
        { filter: "setup", names: ["set\u27E8U+200B\u27E9up.exe"] },
        { filter: "invoice-fdp", names: ["invoice-\u27E8U+202E\u27E9fdp.exe"] },
      ];
      for (const c of cases) {
        await page.fill("#filter", c.filter);
        assert.deepEqual((await visibleNames(page)).sort(), c.names.sort(), `filter "${c.filter}"`);
      }
      // The sort puts them side by side too.
      await page.fill("#filter", "");
      await clickSort(page, "Name");
      const names = await visibleNames(page);
      assert.equal(Math.abs(names.indexOf("cafe") - names.indexOf("Café-menu.pdf")), 1, names.join(" | "));
    }));
});

describe("report of the hostile list", () => {
  // Every request that reaches the server the values aim at.
  const logged = [];
  let server;
  before(async () => {
    server = http.createServer((request, response) => {
      logged.push(`${request.method} ${request.url}`);
      response.end();
    });
    await new Promise((resolve, reject) => {
      server.once("error", reject);
      server.listen(HOSTILE_PORT, "127.0.0.1", resolve);
    });
  });
  after(() => new Promise(resolve => (server ? server.close(resolve) : resolve())));

  const downloads = HOSTILE_REG ? hostileDownloads() : [];
  const followable = /^(https?|ftp|file):/i;

  // Each case twice: with the page's security policy, and with the browser
  // told to ignore it, so that the escaping alone must hold.
  for (const bypassCSP of [false, true]) {
    const policy = bypassCSP ? "with its security policy ignored" : "under its security policy";

    test(`shows every download, each value as the text it is, ${policy}`, () =>
      withReport("hostile", { bypassCSP }, async page => {
        // Long enough for a refresh or a request on load to have happened.
        await page.waitForTimeout(500);
        const shown = await page.$$eval("#downloads tbody tr", rows => rows.map(row => {
          const link = row.querySelector("td:nth-child(2) a");
          return {
            name: row.querySelector("td:nth-child(1)").textContent,
            // The address is written twice, and the style shows one copy.
            url: Array.from(row.querySelector("td:nth-child(2)").children)
                .filter(copy => copy.checkVisibility()).map(copy => copy.textContent).join(""),
            link: link && link.getAttribute("href"),
            out: row.querySelector("td:nth-child(3)").textContent,
            discr: row.querySelector("td:nth-child(6)").textContent,
          };
        }));
        assert.deepEqual(shown, downloads.map(d => ({
          name: d.name,
          url: d.Item_MainURL,
          link: followable.test(d.Item_MainURL) ? d.Item_MainURL : null,
          out: d.Item_OutputFilename,
          discr: d.Item_Description,
        })));
        assert.match(await summary(page), /^7 downloads, /);
        assert.deepEqual(logged, []);
      }));

    test(`sends nothing when every link is clicked, ${policy}`, async () => {
      const context = await browser.newContext({ bypassCSP, viewport: DESKTOP });
      const problems = [];
      const followed = [];
      try {
        // A link may lead to its own web address; that is refused here and
        // recorded, as is anything else but a local file.
        await context.route(url => url.protocol !== "file:", route => {
          followed.push(route.request().url());
          return route.abort();
        });
        const page = await context.newPage();
        page.on("pageerror", error => problems.push("page error: " + error.message));
        page.on("dialog", dialog => {
          problems.push("dialog: " + dialog.message());
          dialog.dismiss().catch(() => {});
        });
        await page.goto(reportUrl("hostile"));
        // Every link but the page's own way past the list.
        const hrefs = await page.$$eval("a[href]:not(.skip)", links => links.map(link => link.href));
        // The four web addresses and the seven folders.
        assert.equal(hrefs.length, 11);
        for (let i = 0; i < hrefs.length; i++) {
          await page.goto(reportUrl("hostile"));
          followed.length = 0;
          await page.locator("a[href]:not(.skip)").nth(i).click();
          await page.waitForTimeout(200);
          const address = hrefs[i].split("#")[0];  // a request carries no fragment
          assert.ok(followed.every(url => url === address), `clicking ${hrefs[i]} asked for ${followed}`);
        }
        assert.deepEqual(problems, []);
        assert.deepEqual(logged, []);
      } finally {
        await context.close();
      }
    });
  }

  // The native build links C: as the Linux folder the prefix maps it to, and
  // unmapped drives in their Windows form; Chromium on Linux takes a drive
  // letter for a bad host name, so the links are read as the URL standard,
  // and a browser on Windows, reads them.
  test("links the folders whose names hold # and % to those folders", () =>
    withReport("hostile", {}, async page => {
      const links = await page.$$eval("#downloads tbody td:nth-child(4) a",
                                      found => found.map(link => link.getAttribute("href")));
      const folders = links.slice(4).map(link => decodeURIComponent(new URL(link).pathname));
      assert.deepEqual(folders,
                       [process.env.DRIVE_C + "/Music/Mix #3/", "/D:/Backup/100%/", "/E:/%23/"]);
    }));
});

describe("report of 10 000 downloads", () => {
  // Rows as a reader sees them, top to bottom; the size in bytes from its
  // tooltip (-1: not known).
  const shownRows = page => page.$$eval("#downloads tbody tr", rows => rows
      .filter(row => !row.hidden)
      .map(row => ({ name: row.cells[0].textContent,
                     size: row.cells[4].title === "Size not known"
                         ? -1 : Number(row.cells[4].title.replace(/\D/g, "")),
                     text: [0, 1, 2, 5].map(i => row.cells[i].textContent).join(" ") })));

  test("sorts by name and by size, unknown sizes last, and filters, row for row", () =>
    withReport("large", {}, async page => {
      // Every row, not only those set up before the page was first drawn,
      // shows its size in words and the exact size as its tooltip.
      const unset = await page.$$eval("#downloads tbody td:nth-child(5)", cells => cells.filter(cell =>
          !/^(unknown|1 byte|\d+ bytes|\d+\.\d [KMGT]iB)$/.test(cell.textContent) ||
          !/^(Size not known|[\d,]+ bytes?)$/.test(cell.title)).length);
      assert.equal(unset, 0);
      const rows = await shownRows(page);
      assert.equal(rows.length, 10000);
      const names = rows.map(row => row.name);
      const collator = new Intl.Collator("en-US", { numeric: true, sensitivity: "base" });
      await clickSort(page, "Name");
      assert.deepEqual((await shownRows(page)).map(row => row.name),
                       [...names].sort(collator.compare));
      await clickSort(page, "Name");
      assert.deepEqual((await shownRows(page)).map(row => row.name),
                       [...names].sort(collator.compare).reverse());
      // Largest first; equal sizes, the unknown ones among them, in the list's order.
      const bytes = size => (size === -1 ? -1 : size < 0 ? size + 2 ** 32 : size);
      const bySize = rows.map((row, index) => ({ row, index }))
          .sort((a, b) => bytes(b.row.size) - bytes(a.row.size) || a.index - b.index)
          .map(entry => entry.row.name);
      await clickSort(page, "Size");
      const sorted = await shownRows(page);
      assert.deepEqual(sorted.map(row => row.name), bySize);
      assert.ok(sorted.at(-1).size === -1 && sorted[0].size !== -1, "unknown sizes last");
      await page.fill("#filter", "SETUP 2");
      const want = rows.filter(row => /setup/i.test(row.text) && row.text.includes("2"));
      assert.ok(want.length > 100);
      assert.equal((await shownRows(page)).length, want.length);
      assert.match(await summary(page), new RegExp(`^${want.length} of 10000 downloads shown`));
    }));
});

describe("reports of 12 and of 250 downloads", () => {
  test("need no sideways scrolling at any width, 12 downloads", () => fitsWidths("list-12"));
  test("need no sideways scrolling at any width, 250 downloads", () => fitsWidths("list-250"));

  test("print the column labels at the top of every page", () =>
    withReport("list-250", {}, async page => {
      const pdf = path.join(ARTIFACTS, "list-250.pdf");
      await page.pdf({ path: pdf, format: "A4" });
      const pages = execFileSync("pdftotext", ["-layout", pdf, "-"], { encoding: "utf8" })
          .split("\f").filter(text => text.trim());
      assert.ok(pages.length > 5, `${pages.length} pages`);
      // Under the title and the count on the first page, first on each page after.
      const unlabelled = pages.map((text, index) =>
          [index + 1, text.split("\n").filter(line => line.trim())[index === 0 ? 2 : 0]])
          .filter(([, first]) => !/^\s*Name\s+URL\s+File\s+Size\s+Description\s*$/.test(first));
      assert.deepEqual(unlabelled, []);
    }));
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

// Written by Tallyweb.exe in code page 1252: what it lacks came as
// references, which the browser shows as the characters they stand for.
describe("report of a list in many scripts, from the Windows build", () => {
  const have = fs.existsSync(path.join(REPORTS, "scripts.htm"));
  const skip = !have && "no Windows build";

  test("shows every name in its own script", { skip }, () =>
    withReport("scripts", {}, async page => {
      const names = await visibleNames(page);
      assert.deepEqual([...names].sort(),
                       ["annual.pdf", "отчёт.pdf", "下载.zip", "📦 box.zip"].sort());
    }));

  test("shows descriptions, files and folder links exactly", { skip }, () =>
    withReport("scripts", {}, async page => {
      const row = page.locator("#downloads tbody tr", { hasText: "отчёт.pdf" });
      assert.equal((await row.locator("td:nth-child(6)").textContent()).trim(), "下载 📦 ł é €");
      assert.equal((await row.locator("td:nth-child(3)").textContent()).trim(),
                   "C:\\Загрузки\\отчёт.pdf");
      assert.equal(await row.locator("td:nth-child(4) a").getAttribute("href"), "file://C:\\Загрузки\\");
    }));
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
