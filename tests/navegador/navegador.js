// The page in a real browser: Debian's chromium, headless, driven through
// playwright-core, against the built gateway (its web listener on a free
// loopback port) and a fake MUD, a node TCP server the test scripts. A raw
// TCP client plays a telnet user beside the browser.
//
//   node navegador.js PATH_TO_ZANDOR
//
// Exits 0 when every check passes, 1 on the first failure, 77 (CTest's skip)
// when chromium, playwright-core or axe-core is missing. The page is also
// checked by axe-core, connected and disconnected: no serious or critical
// finding is allowed, and the figures are printed. ZANDOR_CAPTURAS=DIR saves
// screenshots of the page (desktop and phone sizes) there, to be looked at;
// ZANDOR_CHROMIUM names another chromium than /usr/bin/chromium.
"use strict";

const assert = require("node:assert/strict");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");

const kPula = 77;
const kChromium = process.env.ZANDOR_CHROMIUM || "/usr/bin/chromium";
const kPrazo = 5000;        // ms a check waits for what it expects
const kPrazoVolta = 15000;  // reconnecting: the page waits 1 s, then 2 s, ...
const kLocal = "127.0.0.1";

function pula(motivo) {
  console.log(`SKIP: ${motivo}`);
  process.exit(kPula);
}

let chromium;
try {
  ({ chromium } = require("playwright-core"));
} catch {
  pula("playwright-core is not installed (npm ci in tests/navegador)");
}
let axeFonte;
try {
  axeFonte = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");
} catch {
  pula("axe-core is not installed (npm ci in tests/navegador)");
}
if (!fs.existsSync(kChromium)) pula(`${kChromium} is not installed`);
const binario = process.argv[2];
if (!binario || !fs.existsSync(binario)) {
  console.error("usage: node navegador.js PATH_TO_ZANDOR");
  process.exit(1);
}

const espera = (ms) => new Promise((r) => setTimeout(r, ms));

async function ate(condicao, oque, prazo = kPrazo) {
  for (const fim = Date.now() + prazo; ; await espera(20)) {
    if (await condicao()) return;
    if (Date.now() > fim) throw new Error(`timed out waiting for ${oque}`);
  }
}

function portaLivre() {
  return new Promise((ok, falha) => {
    const s = net.createServer().once("error", falha);
    s.listen(0, kLocal, () => {
      const { port } = s.address();
      s.close(() => ok(port));
    });
  });
}

// A TCP peer whose received bytes accumulate in `recebido`.
function acumula(socket) {
  const p = { socket, recebido: "" };
  socket.setEncoding("latin1");
  socket.on("data", (d) => { p.recebido += d; });
  socket.on("error", () => {});
  p.ate = (texto, prazo) => ate(() => p.recebido.includes(texto), JSON.stringify(texto), prazo);
  p.envia = (bytes) => socket.write(Buffer.from(bytes, "latin1"));
  return p;
}

// The fake MUD: one listening socket; the gateway's link is `mud.lado`.
async function mudFalso() {
  const mud = { lado: null };
  mud.servidor = net.createServer((s) => { mud.lado = acumula(s); });
  await new Promise((ok) => mud.servidor.listen(0, kLocal, ok));
  mud.porta = mud.servidor.address().port;
  return mud;
}

// The gateway in its own folder; started again on the same ports.
class Gateway {
  constructor(pasta, porta, portaWeb, portaMud, tls = "") {
    this.pasta = pasta;
    fs.writeFileSync(path.join(pasta, "zandor.cfg"),
      `${porta}\nweb = ${kLocal} ${portaWeb}${tls}\nfalso = ${kLocal} ${portaMud}\n`);
    this.proc = null;
  }

  async inicia() {
    const log = path.join(this.pasta, "zandor.log");
    fs.rmSync(log, { force: true });
    // Started by its absolute path: the program names its files after the
    // last component, "zandor".
    const p = spawn(path.resolve(binario), [], { cwd: this.pasta, stdio: ["ignore", "pipe", "pipe"] });
    let saida = "";
    p.stdout.on("data", (d) => { saida += d; });
    p.stderr.on("data", (d) => { saida += d; });
    p.saiu = new Promise((ok) => p.once("exit", ok));
    this.proc = p;
    await ate(() => {
      if (p.exitCode !== null) throw new Error(`the gateway exited at start-up: ${saida}`);
      return fs.existsSync(log) && fs.readFileSync(log, "latin1") === "Feito...\n";
    }, "the gateway's start");
  }

  // SIGTERM, as a service manager stops it; SIGKILL only if it lingers.
  async para() {
    const p = this.proc;
    if (!p) return;
    this.proc = null;
    if (p.exitCode === null && p.signalCode === null) {
      p.kill("SIGTERM");
      const parou = await Promise.race([p.saiu.then(() => true), espera(kPrazo).then(() => false)]);
      if (!parou) {
        p.kill("SIGKILL");
        await p.saiu;
      }
    }
  }
}

// ---- the page's parts, read inside the browser -----------------------------

const textoSaida = (pg) => pg.$eval("#saida", (e) => e.textContent);
// The pane holds blocks of lines: #saida > div > div is a line.
const kLinha = "#saida > div > div";
const ultimaLinha = (pg) => pg.$$eval(kLinha, (l) => l.at(-1)?.textContent ?? "");
const vezes = (texto, parte) => texto.split(parte).length - 1;
const estadoDe = (pg) => pg.$eval("#estado", (e) => e.dataset.estado);

async function mostra(pg, texto, n = 1, prazo = kPrazo) {
  await ate(async () => vezes(await textoSaida(pg), texto) >= n, `${JSON.stringify(texto)} (x${n}) on the page`, prazo);
}

// The computed style of the innermost element holding `texto` in the pane.
function estiloDe(pg, texto) {
  return pg.$eval("#saida", (saida, t) => {
    const spans = [...saida.querySelectorAll("span")].filter((s) => s.textContent === t);
    if (spans.length !== 1) return null;
    const c = getComputedStyle(spans[0]);
    return { cor: c.color, fundo: c.backgroundColor, peso: c.fontWeight, linha: c.textDecorationLine };
  }, texto);
}

async function digita(pg, texto) {
  await pg.keyboard.type(texto);
  await pg.keyboard.press("Enter");
}

// axe-core's rules over the page as it stands: the findings by impact are
// printed, and a serious or critical one fails the test.
async function acessivel(pg, nome) {
  await pg.evaluate(axeFonte);
  const r = await pg.evaluate(async () => {
    const res = await axe.run(document);
    return {
      violacoes: res.violations.map((v) => ({ id: v.id, impacto: v.impact, alvos: v.nodes.map((n) => n.target.join(" ")) })),
      passes: res.passes.length,
      incompletas: res.incomplete.map((v) => `${v.id} (${v.nodes.length})`),
    };
  });
  const porImpacto = {};
  for (const v of r.violacoes) porImpacto[v.impacto] = (porImpacto[v.impacto] || 0) + 1;
  console.log(`axe-core, ${nome}: ${r.passes} rules passed, ${r.violacoes.length} violated ` +
    `${JSON.stringify(porImpacto)}, to review by hand: ${r.incompletas.join(", ") || "none"}`);
  for (const v of r.violacoes) console.log(`  ${v.impacto} ${v.id}: ${v.alvos.slice(0, 3).join(", ")}`);
  const graves = r.violacoes.filter((v) => v.impacto === "serious" || v.impacto === "critical");
  assert.deepEqual(graves.map((v) => v.id), [], `no serious or critical accessibility finding (${nome})`);
}

async function captura(pg, nome) {
  const pasta = process.env.ZANDOR_CAPTURAS;
  if (pasta) await pg.screenshot({ path: path.join(pasta, `${nome}.png`) });
}

// ---- the checks ---------------------------------------------------------------

async function verifica(ctx, gw, mud, url, porta) {
  const pg = await ctx.newPage();
  const erros = [];
  pg.on("pageerror", (e) => erros.push(e.message));
  await pg.setViewportSize({ width: 1000, height: 640 });

  // The page, its assets from the gateway, and the first question.
  const resposta = await pg.goto(url);
  assert.equal(resposta.status(), 200);
  assert.match(resposta.headers()["content-type"], /^text\/html; charset=utf-8$/i);
  assert.equal(await pg.title(), "Zandor");
  await mostra(pg, "Digite seu apelido");
  assert.equal(await estadoDe(pg), "conectado");
  assert.equal(await pg.evaluate(() => document.activeElement.id), "entrada", "the input line has the focus");
  assert.equal(await pg.$eval("#saida", (e) => `${e.getAttribute("role")} ${e.getAttribute("aria-live")}`), "log polite");

  // A nickname, remembered for the next visit.
  await digita(pg, "Ana");
  await mostra(pg, "//Ana chegou");
  assert.equal(await pg.evaluate(() => localStorage.getItem("zandor.apelido")), "Ana");

  // The MUD: colours as the MUD sent them, markup shown as text.
  await digita(pg, "/mud falso");
  await ate(() => mud.lado !== null, "the gateway's link to the fake MUD");
  await mostra(pg, "/Conectado");
  mud.lado.envia("\x1b[31mUm goblin\x1b[0m rosna.\r\n" +
    "\x1b[1;38;5;208mtocha\x1b[0m \x1b[4;44mlago\x1b[0m \x1b[1;32mgrama\x1b[0m <b>negrito?</b>\r\n");
  await mostra(pg, "<b>negrito?</b>");
  assert.deepEqual(await estiloDe(pg, "Um goblin"),
    { cor: "rgb(224, 85, 97)", fundo: "rgba(0, 0, 0, 0)", peso: "400", linha: "none" });
  assert.deepEqual(await estiloDe(pg, "tocha"),
    { cor: "rgb(255, 135, 0)", fundo: "rgba(0, 0, 0, 0)", peso: "700", linha: "none" });
  assert.deepEqual(await estiloDe(pg, "lago"),
    { cor: "rgb(212, 212, 212)", fundo: "rgb(31, 79, 176)", peso: "400", linha: "underline" });
  assert.equal((await estiloDe(pg, "grama")).cor, "rgb(142, 224, 127)", "bold green is bright green");
  assert.equal(await pg.$$eval("#saida b, #saida script", (l) => l.length), 0, "MUD text never becomes markup");
  assert.equal(await ultimaLinha(pg), "tocha lago grama <b>negrito?</b>");
  await acessivel(pg, "connected");

  // A prompt shown at the end; a typed line reaches the MUD as typed.
  mud.lado.envia("<100hp 50mv> ");
  await ate(async () => (await ultimaLinha(pg)).startsWith("<100hp 50mv> "), "the prompt as the last line");
  await digita(pg, "olhar");
  await mud.lado.ate("olhar\r\n");
  // An empty Enter is an empty line for the MUD.
  await pg.keyboard.press("Enter");
  await ate(() => mud.lado.recebido.endsWith("olhar\r\n\r\n"), "the empty line at the MUD");

  // History: Up walks back, Down forward to the line being typed.
  await pg.keyboard.type("rascu");
  const valor = () => pg.$eval("#entrada", (e) => e.value);
  await pg.keyboard.press("ArrowUp");
  assert.equal(await valor(), "olhar");
  await pg.keyboard.press("ArrowUp");
  assert.equal(await valor(), "/mud falso");
  await pg.keyboard.press("ArrowDown");
  await pg.keyboard.press("ArrowDown");
  assert.equal(await valor(), "rascu");
  await pg.fill("#entrada", "");

  // Scrolled back, the reader stays put and is told of new output.
  let muitas = "";
  for (let i = 1; i <= 150; i++) muitas += `linha ${i} da sala comprida\r\n`;
  mud.lado.envia(muitas);
  await mostra(pg, "linha 150 da sala comprida");
  await captura(pg, "desktop");
  const rolagem = () => pg.$eval("#saida", (e) => ({ topo: e.scrollTop, falta: e.scrollHeight - e.scrollTop - e.clientHeight }));
  await ate(async () => (await rolagem()).falta < 4, "the pane following new output");
  // A reader scrolls back as often as it takes: a move made while the
  // blocks are still taking their real heights is the page's to follow.
  await ate(async () => {
    await pg.$eval("#saida", (e) => { e.scrollTop = 200; });
    await espera(100);  // the scroll event, and any resize after it
    return (await rolagem()).topo === 200;
  }, "the pane scrolled back");
  mud.lado.envia("um grito ao longe\r\n");
  await mostra(pg, "um grito ao longe");
  await pg.waitForSelector("#novas", { state: "visible", timeout: kPrazo });
  assert.equal((await rolagem()).topo, 200, "new output does not move a reader who scrolled back");
  await pg.click("#novas");
  await ate(async () => (await rolagem()).falta < 4, "the pane back at the end");
  assert.equal(await pg.isVisible("#novas"), false);
  assert.equal(await pg.evaluate(() => document.activeElement.id), "entrada");

  // A telnet user's chat.
  const telnet = await entraTelnet(porta, "Bia");
  await mostra(pg, "//Bia chegou");
  telnet.envia("/ oi\r\n");
  await mostra(pg, "/Bia. oi");
  telnet.socket.destroy();

  // A phone: the input line on screen, nothing wider than the window.
  await pg.setViewportSize({ width: 390, height: 700 });
  await ate(async () => (await rolagem()).falta < 4, "the pane following after the resize");
  const fone = await pg.evaluate(() => {
    const r = document.getElementById("entrada").getBoundingClientRect();
    return { largura: document.documentElement.scrollWidth, baseEntrada: r.bottom, altura: innerHeight };
  });
  assert.ok(fone.largura <= 390, `the page is ${fone.largura}px wide on a 390px phone`);
  assert.ok(fone.baseEntrada <= fone.altura, "the input line is inside the phone's window");
  await captura(pg, "telefone");
  await pg.setViewportSize({ width: 1000, height: 640 });

  // The gateway ends and comes back: the page says so, reconnects, and
  // answers the nickname question with the same nickname.
  await gw.para();
  await mostra(pg, "O Zandor encerrou a conexão.");
  await ate(async () => (await estadoDe(pg)) === "desconectado", "the state shown as disconnected");
  assert.match(await pg.$eval("#estado", (e) => e.textContent), /nova tentativa em \d+ s/);
  await acessivel(pg, "disconnected");
  await gw.inicia();
  await mostra(pg, "//Ana chegou", 2, kPrazoVolta);
  assert.equal(await estadoDe(pg), "conectado");

  // The player's own /sair: no reconnecting until the player asks, and
  // then under the same nickname.
  await digita(pg, "/sair");
  await mostra(pg, "Você saiu do Zandor.");
  assert.equal(await estadoDe(pg), "desconectado");
  await espera(1500);
  assert.equal(await estadoDe(pg), "desconectado", "no reconnecting after /sair");
  assert.equal(await pg.$eval("#agora", (e) => e.textContent), "Entrar de novo");
  await pg.click("#agora");
  await mostra(pg, "//Ana chegou", 3);
  assert.deepEqual(erros, [], "no script errors");
  await pg.close();

  // A new visit: the remembered nickname offered, filled in and as a button.
  const outra = await ctx.newPage();
  outra.on("pageerror", (e) => erros.push(e.message));
  await outra.goto(url);
  await mostra(outra, "Digite seu apelido");
  await outra.waitForSelector("#apelido", { state: "visible", timeout: kPrazo });
  assert.equal(await outra.$eval("#apelido", (e) => e.textContent), "Entrar como Ana");
  assert.equal(await outra.$eval("#entrada", (e) => e.value), "Ana");
  await outra.click("#apelido");
  await mostra(outra, "//Ana chegou");
  assert.equal(await outra.isVisible("#apelido"), false);
  assert.equal(await outra.evaluate(() => document.activeElement.id), "entrada");
  assert.deepEqual(erros, [], "no script errors");
  await outra.close();
}

// A browser that counts as remote (a proxy's header on its requests) gets
// in with an invite, once; without one it is told it was refused.
async function verificaConvite(ctx, porta) {
  const telnet = await entraTelnet(porta, "Caio");
  telnet.envia("/convite\r\n");
  await telnet.ate("/Convite: ");
  await telnet.ate("\r\n");
  const link = /\/Convite: (\S+)\r\n/.exec(telnet.recebido)[1];
  assert.match(link, /^http:\/\/127\.0\.0\.1:\d+\/#[A-Za-z0-9_-]{22,}$/);

  const remota = async () => {
    const pg = await ctx.newPage();
    await pg.setExtraHTTPHeaders({ "X-Forwarded-For": "192.0.2.7" });
    return pg;
  };
  const convidada = await remota();
  await convidada.goto(link);
  await mostra(convidada, "Digite seu apelido");
  assert.equal(await convidada.evaluate(() => location.hash), "", "the token left the address bar");
  await digita(convidada, "Dora");
  await telnet.ate("//Dora chegou");

  // The same link again, from a browser without the seat: used up.
  await ctx.clearCookies();
  const segunda = await remota();
  await segunda.addInitScript(() => localStorage.removeItem("zandor.assento"));
  await segunda.goto(link);
  await mostra(segunda, "Acesso recusado");
  assert.equal(await estadoDe(segunda), "desconectado");
  assert.match(await segunda.$eval("#estado", (e) => e.textContent), /nova tentativa em (29|30) s/);
  await segunda.close();
  // No invite at all.
  const sem = await remota();
  await sem.addInitScript(() => localStorage.removeItem("zandor.assento"));
  await sem.goto(link.split("#")[0]);
  await mostra(sem, "Acesso recusado");
  await sem.close();
  await convidada.close();
  telnet.socket.destroy();
}

// A real watch invite, opened by a browser that counts as remote: the
// placeholder says so, a line that is not a command goes as chat, and a
// command for players is refused.
async function verificaAssistir(ctx, porta) {
  const telnet = await entraTelnet(porta, "Eva");
  telnet.envia("/convite ver\r\n");
  await telnet.ate("/Convite para assistir: ");
  await telnet.ate("\r\n");
  const link = /\/Convite para assistir: (\S+)\r\n/.exec(telnet.recebido)[1];
  const pg = await ctx.newPage();
  await pg.setExtraHTTPHeaders({ "X-Forwarded-For": "192.0.2.8" });
  await pg.goto(link);
  await mostra(pg, "Digite seu apelido");
  assert.equal(await pg.$eval("#entrada", (e) => e.placeholder), "Conversa (só para assistir)");
  await digita(pg, "Olho");
  await telnet.ate("//Olho chegou");
  await mostra(pg, "//Olho chegou");  // the page knows its nickname: a line is chat from now on
  await digita(pg, "que luta");
  await telnet.ate("/Olho. que luta\r\n");
  await digita(pg, "/mud falso");
  await mostra(pg, "/Só para assistir: peça a quem está jogando");
  await pg.close();
  // The invite became a seat, and the seat is a watcher's: a new tab, with
  // no invite, watches again.
  const outra = await ctx.newPage();
  await outra.setExtraHTTPHeaders({ "X-Forwarded-For": "192.0.2.8" });
  await outra.goto(link.replace(/#.*$/, ""));
  await mostra(outra, "/Você entrou para assistir");
  assert.equal(await outra.$eval("#entrada", (e) => e.placeholder), "Conversa (só para assistir)");
  await outra.close();
  await ctx.clearCookies();  // the checks that follow play
  telnet.socket.destroy();
}

// A telnet user with a nickname, as a raw TCP client.
async function entraTelnet(porta, apelido) {
  const telnet = acumula(net.connect(porta, kLocal));
  await telnet.ate("+OK Para telnet pressione ENTER\r\n");
  telnet.envia("\r\n");
  await telnet.ate("Digite seu apelido");
  telnet.envia(`${apelido}\r\n`);
  await telnet.ate(`//${apelido} chegou`);
  return telnet;
}

// The page alone, its WebSocket replaced by a stand-in the test feeds, for
// what the gateway cannot be made to do at will: a stream cut inside escape
// sequences, a flood past the pane's cap, protocol faults, a refusal.
function trocaWebSocket() {
  window.__soquetes = [];
  window.__recusa = false;
  class Falso {
    constructor(url) {
      this.url = String(url);
      this.readyState = 0;
      this.enviados = [];
      __soquetes.push(this);
      setTimeout(() => {
        if (__recusa) return this.fecha(1006);
        this.readyState = 1;
        this.onopen?.({});
      }, 0);
    }
    send(t) { this.enviados.push(t); }
    close() { this.fecha(1000); }
    recebe(t) { this.onmessage?.({ data: t }); }
    fecha(code) {
      this.readyState = 3;
      this.onclose?.({ code });
    }
  }
  Falso.OPEN = 1;
  window.WebSocket = Falso;
}

async function verificaSozinha(ctx, url) {
  const pg = await ctx.newPage();
  const erros = [];
  pg.on("pageerror", (e) => erros.push(e.message));
  await pg.addInitScript(trocaWebSocket);
  const ultimo = () => "__soquetes[__soquetes.length - 1]";
  const recebe = (...pedacos) => pg.evaluate(([l, p]) => { for (const t of p) eval(l).recebe(t); }, [ultimo(), pedacos]);
  const linhas = () => pg.$$eval(kLinha, (l) => l.map((d) => d.textContent));

  // An invite in the fragment is offered once for a seat and leaves the
  // address bar; a gateway that gives no seats (405, played here) has it
  // go with the upgrade, beside the tab's resume id.
  await pg.route("**/entrar", (r) => r.fulfill({ status: 405 }));
  const posts = [];
  pg.on("request", (r) => { if (r.method() === "POST") posts.push([r.url(), r.headers()["content-type"], r.postData()]); });
  await pg.goto(`${url}#AbC_12-xyz`);
  await ate(() => pg.evaluate(() => __soquetes.length === 1 && __soquetes[0].readyState === 1), "the stand-in open");
  const id = await pg.evaluate(() => sessionStorage.getItem("zandor.retoma"));
  assert.match(id, /^[A-Za-z0-9_-]{32}$/);
  assert.equal(await pg.evaluate(() => __soquetes[0].url), `${url.replace("http:", "ws:")}ws?retoma=${id}&convite=AbC_12-xyz`);
  assert.deepEqual(posts, [[`${url}entrar`, "application/x-www-form-urlencoded", "convite=AbC_12-xyz"]]);
  assert.equal(await pg.evaluate(() => location.href), url, "the invite left the address bar");

  // Sequences cut between messages; sequences that are not colours ignored.
  await recebe("\x1b[3", "1mver", "melho\x1b", "[0m fim\r", "\n",
    "\x1b]0;titulo\x07a\x1b[2Jb\x1b(Bc\x1b[?25l\x07d\x1b[1;4", "2m e\x1b[mf\r\n");
  assert.deepEqual((await linhas()).slice(-2), ["vermelho fim", "abcd ef"]);
  assert.equal(await pg.$$eval("#saida span.c1", (l) => l.map((s) => s.textContent).join("")), "vermelho");
  assert.deepEqual(await estiloDe(pg, " e"), { cor: "rgb(212, 212, 212)", fundo: "rgb(46, 125, 50)", peso: "700", linha: "none" });

  // A flood: the pane keeps the newest 5000 lines, give or take the one
  // block of 100 it drops at a time.
  const mantidas = (n) => n >= 5000 && n < 5100;
  await recebe(Array.from({ length: 6000 }, (_, i) => `l${i + 1}\r\n`).join(""));
  await ate(async () => mantidas((await linhas()).length), "the pane cut to 5000 lines");
  const l = await linhas();
  assert.deepEqual([l[0], l.at(-1)], [`l${6000 - l.length + 1}`, "l6000"]);
  // Scrolled back, the reader keeps the line they read while the oldest go.
  const noTopo = () => pg.$eval("#saida", (e) => {
    const r = e.getBoundingClientRect();
    return document.elementFromPoint(r.left + 12, r.top + 12).closest("#saida > div > div").textContent;
  });
  await pg.$eval("#saida", (e) => { e.scrollTop = e.scrollHeight / 2; });
  await espera(100);  // the scroll event
  const lida = await noTopo();
  await recebe(Array.from({ length: 300 }, (_, i) => `m${i + 1}\r\n`).join(""));
  await pg.waitForSelector("#novas", { state: "visible", timeout: kPrazo });
  const m = await linhas();
  assert.ok(mantidas(m.length), `${m.length} lines kept`);
  assert.deepEqual([m[0], m.at(-1)], [`l${6000 - (m.length - 300) + 1}`, "m300"]);
  assert.equal(await noTopo(), lida, "the reader's line stays in place");
  await pg.click("#novas");

  // The player's line is echoed after the prompt it answers.
  await recebe("<100hp> ");
  await pg.focus("#entrada");
  await digita(pg, "norte");
  assert.equal((await linhas()).pop(), "<100hp> norte");

  // A password prompt hides the typing and keeps it out of the history.
  await recebe("Senha: ");
  assert.equal(await pg.$eval("#entrada", (e) => e.type), "password");
  await digita(pg, "segredo");
  assert.deepEqual(await pg.evaluate(() => __soquetes[0].enviados), ["norte", "segredo"]);
  assert.equal((await linhas()).pop(), "Senha: ", "the password is not echoed");
  assert.equal(await pg.$eval("#entrada", (e) => e.type), "text");
  await pg.keyboard.press("ArrowUp");
  assert.equal(await pg.$eval("#entrada", (e) => e.value), "norte");
  await pg.fill("#entrada", "");
  // ... also when the prompt came as a whole line, and until the line is
  // sent, whatever arrives meanwhile.
  await recebe("Password:\r\n");
  assert.equal(await pg.$eval("#entrada", (e) => e.type), "password");
  await pg.keyboard.type("abc");
  await recebe("/Bia. oi\r\n");
  assert.equal(await pg.$eval("#entrada", (e) => e.type), "password", "a chat line does not unmask the password");
  await pg.keyboard.press("Enter");
  assert.equal(await pg.$eval("#entrada", (e) => e.type), "text");
  assert.equal((await pg.evaluate(() => __soquetes[0].enviados)).pop(), "abc");
  assert.equal(await pg.$$eval(kLinha, (l) => l.some((d) => d.textContent.includes("abc"))), false);

  // A protocol fault: said, and a new link a second later, with the same
  // resume id and without the used invite; the gap is marked.
  await pg.evaluate(() => __soquetes[0].fecha(1002));
  await mostra(pg, "Conexão encerrada por erro de protocolo.");
  assert.match(await pg.$eval("#estado", (e) => e.textContent), /nova tentativa em 1 s/);
  await ate(() => pg.evaluate(() => __soquetes.length === 2 && __soquetes[1].readyState === 1), "the second link", 3000);
  assert.equal(await pg.evaluate(() => __soquetes[1].url), `${url.replace("http:", "ws:")}ws?retoma=${id}`);
  assert.deepEqual(await pg.$$eval("#saida .reconexao", (l) => l.map((d) => d.textContent)), ["Reconectado"]);
  assert.equal(posts.length, 1, "the invite is offered once");

  // Refused at the upgrade while the gateway answers: said, and the next
  // try waits the longest.
  await pg.evaluate(() => { __recusa = true; __soquetes[1].fecha(1006); });
  await ate(() => pg.evaluate(() => __soquetes.length === 3), "the third try", 4000);
  await mostra(pg, "Acesso recusado");
  assert.match(await pg.$eval("#estado", (e) => e.textContent), /nova tentativa em (29|30) s/);
  await captura(pg, "recusado");

  assert.deepEqual(erros, [], "no script errors");
  await pg.close();
}

// An invite exchanged for a seat (the gateway's answers played by the
// test): no link carries the invite, and the browser remembers it has a
// seat. A refused invite is dropped; a busy answer is tried again before the
// next link, and only then.
async function verificaAssento(ctx, url) {
  const casos = [
    { respostas: [204], assento: "1" },
    { respostas: [403], assento: null },
    { respostas: [429, 204], assento: "1" },
  ];
  for (const c of casos) {
    const pg = await ctx.newPage();
    await pg.addInitScript(trocaWebSocket);
    await pg.addInitScript(() => localStorage.removeItem("zandor.assento"));
    const respostas = [...c.respostas];
    let posts = 0;
    await pg.route("**/entrar", (r) => {
      posts++;
      r.fulfill({ status: respostas.shift() ?? 500 });
    });
    await pg.goto(`${url}#Convite_de_teste-123`);
    for (let n = 1; n <= c.respostas.length; n++) {
      await ate(() => pg.evaluate((k) => __soquetes.length === k && __soquetes[k - 1].readyState === 1, n), `link ${n}`, 4000);
      assert.match(await pg.evaluate((k) => __soquetes[k - 1].url, n), /\/ws\?retoma=[A-Za-z0-9_-]{32}$/, `${c.respostas}`);
      assert.equal(posts, n, `${c.respostas}: one exchange per link while it is busy`);
      if (n < c.respostas.length) await pg.evaluate((k) => __soquetes[k - 1].fecha(1006), n);
    }
    await pg.close();
    const outra = await ctx.newPage();
    await outra.goto(url + "nada");
    assert.equal(await outra.evaluate(() => localStorage.getItem("zandor.assento")), c.assento, `${c.respostas}`);
    await outra.close();
  }
}

// A refused upgrade: the page asks the same address without upgrading and
// says what the status means (the status played by the test).
async function verificaRecusas(ctx, url) {
  const casos = [
    { status: 403, assento: false, diz: "Acesso recusado: peça um convite novo a quem está no Zandor.", espera: /(29|30) s/ },
    { status: 403, assento: true, diz: "Acesso revogado ou expirado: peça um convite novo a quem está no Zandor.", espera: /(29|30) s/ },
    { status: 429, assento: false, diz: "Tentativas demais: aguarde um minuto.", espera: /(59|60) s/ },
    { status: 503, assento: false, diz: "Zandor lotado: aguarde uma vaga.", espera: /(29|30) s/ },
  ];
  for (const c of casos) {
    const pg = await ctx.newPage();
    await pg.addInitScript(trocaWebSocket);
    await pg.addInitScript((a) => {
      __recusa = true;
      if (a) localStorage.setItem("zandor.assento", "1");
      else localStorage.removeItem("zandor.assento");
    }, c.assento);
    let sondas = 0;
    await pg.route(/\/ws\?retoma=/, (r) => {
      sondas++;
      r.fulfill({ status: c.status });
    });
    await pg.goto(url);
    await mostra(pg, c.diz);
    assert.match(await pg.$eval("#estado", (e) => e.textContent), c.espera, `${c.status}`);
    assert.equal(sondas, 1);
    await pg.close();
  }
  const limpa = await ctx.newPage();
  await limpa.goto(url + "nada");
  await limpa.evaluate(() => localStorage.removeItem("zandor.assento"));
  await limpa.close();
}

// A watcher, told so by the gateway on entering: the input says it, the
// nickname goes as typed, then a line that is not a command goes as chat,
// and all of it holds across a reload of the tab (a resumed user is asked
// nothing).
async function verificaAssistente(ctx, url) {
  const pg = await ctx.newPage();
  const erros = [];
  pg.on("pageerror", (e) => erros.push(e.message));
  await pg.addInitScript(trocaWebSocket);
  const recebe = (t) => pg.evaluate((x) => __soquetes[__soquetes.length - 1].recebe(x), t);
  const enviados = () => pg.evaluate(() => __soquetes[__soquetes.length - 1].enviados);
  const placeholder = () => pg.$eval("#entrada", (e) => e.placeholder);
  await pg.goto(url);
  await ate(() => pg.evaluate(() => __soquetes.length === 1 && __soquetes[0].readyState === 1), "the stand-in open");
  const id = await pg.evaluate(() => sessionStorage.getItem("zandor.retoma"));
  assert.equal(await placeholder(), "");
  await recebe("/Você entrou para assistir: o que digitar vai para a conversa\r\nDigite seu apelido\r\n");
  assert.equal(await placeholder(), "Conversa (só para assistir)");
  await pg.focus("#entrada");
  await digita(pg, "Olho");
  await recebe("//Olho chegou\r\n");
  await digita(pg, "que luta");
  await digita(pg, "/quem");
  await pg.keyboard.press("Enter");  // an empty line goes nowhere
  assert.deepEqual(await enviados(), ["Olho", "/ que luta", "/quem"]);

  await pg.reload();
  await ate(() => pg.evaluate(() => __soquetes.length === 1 && __soquetes[0].readyState === 1), "the stand-in after the reload");
  assert.match(await pg.evaluate(() => __soquetes[0].url), new RegExp(`ws\\?retoma=${id}$`), "the same id after a reload");
  assert.equal(await placeholder(), "Conversa (só para assistir)");
  await pg.focus("#entrada");
  await digita(pg, "voltei");
  assert.deepEqual(await enviados(), ["/ voltei"]);

  // A player on a new link of the same tab (no watcher's word before the
  // question) types to the MUD again.
  await pg.evaluate(() => __soquetes[0].fecha(1006));
  await ate(() => pg.evaluate(() => __soquetes.length === 2 && __soquetes[1].readyState === 1), "the next link", 4000);
  await recebe("Digite seu apelido\r\n");
  assert.equal(await placeholder(), "");
  assert.deepEqual(await enviados(), ["Olho"], "the nickname sent again by itself");
  await digita(pg, "norte");
  assert.deepEqual(await enviados(), ["Olho", "norte"]);
  assert.deepEqual(erros, [], "no script errors");
  await pg.close();
}

// A plain TCP forward on 127.0.0.1:porta to the web listener, bound to
// 127.0.0.2 so that the gateway sees a remote peer; started in a process
// group of its own, so that ending it by its id ends the connections its
// forks carry too.
async function encaminha(porta, portaWeb) {
  const p = spawn("socat", [`TCP-LISTEN:${porta},bind=${kLocal},fork,reuseaddr`,
    `TCP:${kLocal}:${portaWeb},bind=127.0.0.2`], { detached: true, stdio: "ignore" });
  p.saiu = new Promise((ok) => p.once("exit", ok));
  await ate(() => new Promise((ok) => {
    const s = net.connect(porta, kLocal, () => { s.destroy(); ok(true); });
    s.on("error", () => ok(false));
  }), "the forward");
  return p;
}
async function paraEncaminha(p) {
  try { process.kill(-p.pid, "SIGTERM"); } catch { /* gone */ }
  await p.saiu;
}

// A friend from afar (through the forward): an invite link played, the link
// cut while the MUD goes on, and the page back without a new invite with
// each missed line once; then the gateway itself restarted, and the seat
// lets the page in again.
async function verificaRetoma(ctx, gw, mud, porta, portaWeb) {
  if (require("node:child_process").spawnSync("socat", ["-V"]).status !== 0) {
    console.log("SKIP (resume part): no socat command");
    return;
  }
  await ctx.clearCookies();
  const portaFora = await portaLivre();
  let ponte = await encaminha(portaFora, portaWeb);
  let telnet = await entraTelnet(porta, "Eva");
  try {
    mud.lado = null;
    telnet.envia("/mud falso\r\n");
    await ate(() => mud.lado !== null, "the MUD link");
    await telnet.ate("/Conectado");
    telnet.envia("/convite\r\n");
    await telnet.ate("/Convite: ");
    await telnet.ate("\r\n");
    const token = /\/Convite: \S+#(\S+)\r\n/.exec(telnet.recebido)[1];
    const pg = await ctx.newPage();
    await pg.addInitScript(() => localStorage.removeItem("zandor.assento"));
    await pg.goto(`http://${kLocal}:${portaFora}/#${token}`);
    await mostra(pg, "Digite seu apelido");
    await digita(pg, "Fred");
    await telnet.ate("//Fred chegou");
    mud.lado.envia("Antes do corte.\r\n");
    await mostra(pg, "Antes do corte.");

    // The link cut: the MUD goes on meanwhile; the page comes back alone.
    await paraEncaminha(ponte);
    await ate(async () => (await estadoDe(pg)) === "desconectado", "the page noticing the cut");
    telnet.envia("/quem\r\n");
    await telnet.ate("Fred (ausente)");
    mud.lado.envia("Durante o corte 1.\r\nDurante o corte 2.\r\n");
    await telnet.ate("Durante o corte 2.");
    ponte = await encaminha(portaFora, portaWeb);
    await mostra(pg, "Durante o corte 2.", 1, kPrazoVolta);
    await mostra(pg, "Reconectado");
    mud.lado.envia("Depois do corte.\r\n");
    await mostra(pg, "Depois do corte.");
    const texto = await textoSaida(pg);
    for (const l of ["Antes do corte.", "Durante o corte 1.", "Durante o corte 2.", "Digite seu apelido", "//Fred chegou"])
      assert.equal(vezes(texto, l), 1, `${l} once`);
    assert.equal(await estadoDe(pg), "conectado");

    // The gateway restarted: the seat, kept in its file, lets the page in.
    telnet.socket.destroy();
    await gw.para();
    await ate(async () => (await estadoDe(pg)) === "desconectado", "the page noticing the restart");
    await gw.inicia();
    telnet = await entraTelnet(porta, "Gil");
    await telnet.ate("//Fred chegou", kPrazoVolta);
    await mostra(pg, "Digite seu apelido", 2);
    assert.equal(await estadoDe(pg), "conectado");
    await pg.close();
  } finally {
    telnet.socket.destroy();
    await paraEncaminha(ponte);
  }
}

// Once over HTTPS: a gateway of its own with a certificate made now, the
// page and its WebSocket (WSS) through it, a line each way. Skipped without
// the openssl command.
async function verificaHttps(ctx, pasta, mud) {
  const tls = path.join(pasta, "tls");
  fs.mkdirSync(tls);
  const cert = path.join(tls, "cert.pem"), chave = path.join(tls, "key.pem");
  const feito = require("node:child_process").spawnSync("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt",
    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout", chave, "-out", cert]);
  if (feito.status !== 0) {
    console.log("SKIP (https part): no openssl command");
    return;
  }
  const porta = await portaLivre(), portaWeb = await portaLivre();
  const gw = new Gateway(tls, porta, portaWeb, mud.porta, ` tls ${cert} ${chave}`);
  await gw.inicia();
  try {
    const pg = await ctx.newPage();
    const resposta = await pg.goto(`https://${kLocal}:${portaWeb}/`);
    assert.equal(resposta.status(), 200);
    assert.equal((await resposta.securityDetails()).protocol, "TLS 1.3");
    await mostra(pg, "Digite seu apelido");
    await digita(pg, "Segura");
    await mostra(pg, "//Segura chegou");
    mud.lado = null;
    await digita(pg, "/mud falso");
    await ate(() => mud.lado !== null, "the https gateway's link to the fake MUD");
    await mostra(pg, "/Conectado");
    mud.lado.envia("Por um canal cifrado.\r\n");
    await mostra(pg, "Por um canal cifrado.");
    await digita(pg, "senha secreta");
    await mud.lado.ate("senha secreta\r\n");
    await pg.close();
  } finally {
    if (mud.lado) mud.lado.socket.destroy();
    mud.lado = null;
    await gw.para();
  }
}

async function principal() {
  const pasta = fs.mkdtempSync(path.join(os.tmpdir(), "zandor-navegador-"));
  const perfil = path.join(pasta, "perfil");
  let gw = null, mud = null, ctx = null;
  try {
    mud = await mudFalso();
    const porta = await portaLivre(), portaWeb = await portaLivre();
    gw = new Gateway(pasta, porta, portaWeb, mud.porta);
    await gw.inicia();
    ctx = await chromium.launchPersistentContext(perfil, {
      executablePath: kChromium,
      headless: true,
      args: ["--no-sandbox", "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--ignore-certificate-errors"],  // the https run's certificate is made at test time
    });
    const url = `http://${kLocal}:${portaWeb}/`;
    await verificaSozinha(ctx, url);
    await verificaAssento(ctx, url);
    await verificaRecusas(ctx, url);
    await verificaAssistente(ctx, url);
    await verificaConvite(ctx, porta);
    await verificaAssistir(ctx, porta);
    await verifica(ctx, gw, mud, url, porta);
    await verificaRetoma(ctx, gw, mud, porta, portaWeb);
    await verificaHttps(ctx, pasta, mud);
    console.log("navegador: every check passed");
  } finally {
    if (ctx) await ctx.close().catch(() => {});
    if (gw) await gw.para();
    if (mud) {
      if (mud.lado) mud.lado.socket.destroy();
      mud.servidor.close();
    }
    fs.rmSync(pasta, { recursive: true, force: true });
  }
}

principal().catch((e) => {
  console.error(e);
  process.exit(1);
});
