// Loads PMX files in headless Chromium with three.js's MMDLoader, through the page that
// `pmxexport view` serves, and saves a screenshot of each.
//
//   node render_pmx.js --app PATH/TO/pmxexport --out DIR [--texture-root DIR ...] MODEL.pmx [MODEL.pmx ...]
//
// Prints one JSON line per model (what the loader read) and exits 1 when a model failed:
// the loader reported an error, the model has no vertices, a texture could not be loaded or
// nothing was drawn.
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

function parseArgs(argv) {
  const a = { app: null, out: null, models: [], textureRoots: [], timeoutMs: 90000 };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--app') a.app = argv[++i];
    else if (argv[i] === '--out') a.out = argv[++i];
    else if (argv[i] === '--texture-root') a.textureRoots.push(argv[++i]);
    else if (argv[i] === '--timeout') a.timeoutMs = Number(argv[++i]) * 1000;
    else a.models.push(argv[i]);
  }
  if (!a.app || !a.out || a.models.length === 0) {
    process.stderr.write('usage: node render_pmx.js --app PMXEXPORT --out DIR MODEL.pmx...\n');
    process.exit(2);
  }
  return a;
}

// Starts `pmxexport view` on a free port and answers the page address it prints.
function startViewer(app, model, textureRoots) {
  return new Promise((resolve, reject) => {
    const roots = textureRoots.flatMap((r) => ['--texture-root', r]);
    const child = spawn(app, ['view', model, '--port', '0', '--no-open', ...roots],
                        { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    let err = '';
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error('pmxexport view did not start: ' + err)); }, 20000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/(http:\/\/127\.0\.0\.1:\d+\/\S*)/);
      if (m) { clearTimeout(timer); resolve({ child, url: m[1] }); }
    });
    child.stderr.on('data', (d) => { err += d; });
    child.on('error', (e) => { clearTimeout(timer); reject(e); });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`pmxexport view exited with ${code}: ${err}`)); });
  });
}

function stopViewer(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    child.removeAllListeners('exit');
    child.on('exit', (code) => resolve(code));
    child.kill('SIGTERM');
  });
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  fs.mkdirSync(args.out, { recursive: true });
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'pmx-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 800, height: 600 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           // WebGL on the CPU: there is no GPU here.
           '--enable-unsafe-swiftshader', '--use-angle=swiftshader'],
  });
  let failed = false;
  try {
    for (const model of args.models) {
      const stem = path.basename(model, path.extname(model));
      const report = { model, screenshot: path.join(args.out, stem + '.png'), console: [] };
      let viewer = null;
      try {
        viewer = await startViewer(args.app, model, args.textureRoots);
        const page = await context.newPage();
        page.on('console', (m) => { if (m.type() === 'error') report.console.push(m.text()); });
        page.on('pageerror', (e) => report.console.push(String(e)));
        await page.goto(viewer.url);
        await page.waitForFunction(() => window.pmxResult && window.pmxResult.done, null,
                                   { timeout: args.timeoutMs });
        Object.assign(report, await page.evaluate(() => window.pmxResult));
        await page.screenshot({ path: report.screenshot });
        await page.close();
      } catch (e) {
        report.error = report.error || String(e && e.message ? e.message : e);
      } finally {
        if (viewer) report.viewerExit = await stopViewer(viewer.child);
      }
      // Shader compile failures reach the console, not the loader.
      const shaderError = report.console.find((t) => /shader|WebGLProgram/i.test(t));
      if (shaderError && !report.error) report.error = shaderError;
      report.ok = !report.error && report.vertices > 0 && report.drawn === true &&
                  (report.texturesFailed || []).length === 0;
      if (!report.ok) failed = true;
      process.stdout.write(JSON.stringify(report) + '\n');
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  process.exit(failed ? 1 : 0);
}

main().catch((e) => {
  process.stderr.write(String(e && e.stack ? e.stack : e) + '\n');
  process.exit(1);
});
