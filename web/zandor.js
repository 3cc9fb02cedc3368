// The player's page: one WebSocket to the gateway, whose text messages put
// together are the stream a terminal would show (lines ended by CR LF, ANSI
// colour sequences, a trailing piece without line end being a prompt). This
// script turns that stream into lines of coloured spans, sends each typed
// line as one message, and keeps the link up: it reconnects with a doubling
// wait after anything but the player's own /sair.
//
// Every link of a tab carries the tab's resume id, so that a link that drops
// (a phone asleep, a network change, a reload) takes the same user back
// with what it missed. An invite in the address's fragment is exchanged
// once for a seat, an HttpOnly cookie the browser sends with every upgrade.
//
// MUD bytes only ever become text nodes and class names or colours this
// script computes itself; nothing received is parsed as HTML.
"use strict";

const kMaxLinhas = 5000;        // lines kept in the pane at least; the oldest go first
const kPorBloco = 100;          // lines per block of the pane (see linhaAberta)
const kFolgaLinhas = 1000;      // pruned at once past kMaxLinhas + this, even unseen
const kMaxHistoria = 200;       // typed lines that Up/Down walk through
const kEsperaMin = 1000;        // first wait before reconnecting, ms; doubles
const kEsperaMax = 30000;       // longest wait
const kMaxEscape = 512;         // an unfinished escape sequence longer than this is dropped
const kChaveApelido = "zandor.apelido";      // localStorage: the nickname offered on a new visit
const kChaveAssento = "zandor.assento";      // localStorage: this browser was given a seat
const kChaveRetoma = "zandor.retoma";        // sessionStorage: the tab's resume id
const kChaveSessao = "zandor.sessao";        // sessionStorage: {apelido, assiste} of the tab's user
const kEsperaLimite = 60000;                 // after "too many tries"
const kReconectado = "Reconectado";
const kFechoAssumido = 4001;                 // the gateway: this session went on over another link
// Copies of gateway texts (mensagens.h), the nickname state read from them;
// tests/pagina_test.cpp checks the next five against what the gateway sends.
const kAssistir = "/Você entrou para assistir: o que digitar vai para a conversa";
const kPedeApelido = "Digite seu apelido";
const kApelidoInvalido = "Apelido inválido, digite outro";
const kChegou = /^\/\/(\S+) chegou$/;
const kRenomeado = /^\/\/Usuário (\S+) é conhecido como (\S+)$/;
const kPedeSenha = /(senha|password|passwd)\s*:?\s*$/i;
const kSair = /^\/(sair|quit)\s*$/i;

const $ = (id) => document.getElementById(id);
const saida = $("saida"), novas = $("novas"), entrada = $("entrada"), linha = $("linha");
const estado = $("estado"), estadoTexto = $("estado-texto"), contagem = $("contagem");
const agora = $("agora"), botaoApelido = $("apelido");

// ---- the output pane ------------------------------------------------------

// Current SGR attributes. fg/bg: null (the default), 0-255 (a palette
// index) or a CSS colour (24-bit sequences).
const sgr = { fg: null, bg: null, negrito: false, sublinhado: false, italico: false, inverso: false };
let estilo = null;        // {classe, css} for sgr, recomputed after a change
let resto = "";           // an escape sequence cut by the end of a message
let aberta = null;        // the line still open (a prompt, or text still coming)
let ultimaLida = "";      // the text of the last line the gateway ended
let linhas = 0;           // lines in the pane
let bloco = null, noBloco = 0;  // the last block, and its lines
let seguindo = true;      // the reader is at the bottom: new output scrolls
let ajusteMarcado = false;

function zeraSgr() {
  Object.assign(sgr, { fg: null, bg: null, negrito: false, sublinhado: false, italico: false, inverso: false });
  estilo = null;
}

// The 256-colour palette beyond the sixteen: a 6x6x6 cube, then 24 greys.
function cor256(n) {
  if (n >= 232) {
    const g = 8 + (n - 232) * 10;
    return `rgb(${g},${g},${g})`;
  }
  const i = n - 16, nivel = (x) => (x ? 55 + x * 40 : 0);
  return `rgb(${nivel(Math.floor(i / 36))},${nivel(Math.floor(i / 6) % 6)},${nivel(i % 6)})`;
}

function calculaEstilo() {
  let fg = sgr.fg, bg = sgr.bg;
  if (sgr.negrito && typeof fg === "number" && fg < 8) fg += 8;  // bold brightens, as terminals do
  if (sgr.inverso) [fg, bg] = [bg ?? "var(--fundo)", fg ?? "var(--texto)"];
  const classes = [], css = [];
  const usa = (v, prefixo, propriedade) => {
    if (v === null) return;
    if (typeof v === "number" && v < 16) classes.push(prefixo + v);
    else css.push(`${propriedade}:${typeof v === "number" ? cor256(v) : v}`);
  };
  usa(fg, "c", "color");
  usa(bg, "f", "background");
  if (sgr.negrito) classes.push("n");
  if (sgr.sublinhado) classes.push("s");
  if (sgr.italico) classes.push("i");
  return { classe: classes.join(" "), css: css.join(";") };
}

// "ESC [ params m": params as the sequence gave them, ':' read as ';'.
function aplicaSgr(params) {
  const v = params === "" ? [0] : params.replace(/:/g, ";").split(";").map((x) => (x === "" ? 0 : Number(x)));
  for (let k = 0; k < v.length; k++) {
    const n = v[k];
    if (n === 0) zeraSgr();
    else if (n === 1) sgr.negrito = true;
    else if (n === 3) sgr.italico = true;
    else if (n === 4) sgr.sublinhado = true;
    else if (n === 7) sgr.inverso = true;
    else if (n === 22) sgr.negrito = false;
    else if (n === 23) sgr.italico = false;
    else if (n === 24) sgr.sublinhado = false;
    else if (n === 27) sgr.inverso = false;
    else if (n >= 30 && n <= 37) sgr.fg = n - 30;
    else if (n === 39) sgr.fg = null;
    else if (n >= 40 && n <= 47) sgr.bg = n - 40;
    else if (n === 49) sgr.bg = null;
    else if (n >= 90 && n <= 97) sgr.fg = n - 90 + 8;
    else if (n >= 100 && n <= 107) sgr.bg = n - 100 + 8;
    else if (n === 38 || n === 48) {
      let cor;
      if (v[k + 1] === 5) {
        cor = v[k + 2];
        k += 2;
        if (!(Number.isInteger(cor) && cor >= 0 && cor <= 255)) cor = undefined;
      } else if (v[k + 1] === 2) {
        const rgb = v.slice(k + 2, k + 5);
        k += 4;
        if (rgb.length === 3 && rgb.every((x) => Number.isInteger(x) && x >= 0 && x <= 255)) cor = `rgb(${rgb.join(",")})`;
      } else break;  // a form not known: the rest cannot be read safely
      if (cor !== undefined) sgr[n === 38 ? "fg" : "bg"] = cor;
    }
  }
  estilo = null;
}

// Where the escape sequence starting at s[i] ends (the index after it), or
// -1 when the message ended inside it.
function fimEscape(s, i) {
  let j = i + 1;
  if (j >= s.length) return -1;
  const c = s[j];
  if (c === "[") {  // CSI: parameter and intermediate bytes, then one final byte
    for (j++; j < s.length; j++) {
      const b = s.charCodeAt(j);
      if (b >= 0x40 && b <= 0x7e) return j + 1;
      if (b < 0x20 || b > 0x3f) return j;  // malformed: drop what came before it
    }
    return -1;
  }
  if (c === "]" || c === "P" || c === "X" || c === "^" || c === "_") {  // strings: up to BEL or ESC \
    for (j++; j < s.length; j++) {
      if (s[j] === "\x07") return j + 1;
      if (s[j] === "\x1b") return j + 1 < s.length ? j + 2 : -1;
    }
    return -1;
  }
  while (j < s.length && s.charCodeAt(j) >= 0x20 && s.charCodeAt(j) <= 0x2f) j++;  // e.g. ESC ( B
  return j < s.length ? j + 1 : -1;
}

// The pane holds blocks of kPorBloco lines, not the lines themselves: a
// new line makes the browser walk its parent's children, and fifty blocks
// walk faster than five thousand lines (a frame with 5000 lines in one
// parent took twice as long as with none). Whole blocks are what pruning
// takes away.
//
//   #saida > div.bloco > div (a line) > text and spans
function linhaAberta() {
  if (!aberta) {
    if (!bloco || noBloco === kPorBloco) {
      bloco = document.createElement("div");
      bloco.className = "bloco";
      tamanhos.observe(bloco);
      saida.append(bloco);
      noBloco = 0;
    }
    aberta = document.createElement("div");
    bloco.append(aberta);
    noBloco++;
    linhas++;
  }
  return aberta;
}

function escreve(texto) {
  if (texto === "") return;
  if (!estilo) estilo = calculaEstilo();
  const l = linhaAberta();
  if (!estilo.classe && !estilo.css) {
    l.append(texto);
    return;
  }
  const span = document.createElement("span");
  if (estilo.classe) span.className = estilo.classe;
  if (estilo.css) span.style.cssText = estilo.css;
  span.textContent = texto;
  l.append(span);
}

// Ends the open line (an empty one when none is open) and returns its text.
function terminaLinha() {
  const l = linhaAberta();
  aberta = null;
  return l.textContent;
}

// One message from the gateway: its piece of the stream.
function recebe(t) {
  const s = resto + t;
  resto = "";
  let inicio = 0, i = 0;
  while (i < s.length) {
    const c = s.charCodeAt(i);
    if (c >= 0x20 && c !== 0x7f || c === 9) {
      i++;
      continue;
    }
    escreve(s.slice(inicio, i));
    if (c === 0x1b) {
      const fim = fimEscape(s, i);
      if (fim < 0) {
        if (s.length - i <= kMaxEscape) resto = s.slice(i);
        inicio = i = s.length;
        break;
      }
      if (s[i + 1] === "[" && s[fim - 1] === "m") aplicaSgr(s.slice(i + 2, fim - 1));
      i = fim;
    } else {
      if (c === 10) leuLinha(ultimaLida = terminaLinha());
      i++;  // CR and other control characters are dropped
    }
    inicio = i;
  }
  escreve(s.slice(inicio, i));
  leuPrompt(aberta ? aberta.textContent : ultimaLida);
  marcaAjuste();
}

// Scrolling and pruning wait for the next frame, so that a burst of
// messages costs one layout. Past the slack they are done at once: a hidden
// tab gets no frames and must not grow without bound.
function marcaAjuste() {
  if (linhas > kMaxLinhas + kFolgaLinhas) ajusta();
  if (!ajusteMarcado) {
    ajusteMarcado = true;
    requestAnimationFrame(ajusta);
  }
}

function poda() {
  for (let b = saida.firstElementChild; b !== bloco && linhas - b.childElementCount >= kMaxLinhas; b = saida.firstElementChild) {
    linhas -= b.childElementCount;
    tamanhos.unobserve(b);
    b.remove();
  }
}

function ajusta() {
  ajusteMarcado = false;
  if (seguindo) {
    poda();
    saida.scrollTop = saida.scrollHeight;
    novas.hidden = true;
  } else {
    // The reader stays on the lines they read while older ones go.
    const antes = saida.scrollHeight;
    poda();
    if (saida.scrollHeight !== antes) saida.scrollTop -= antes - saida.scrollHeight;
    novas.hidden = false;
  }
  topoVisto = saida.scrollTop;
  alturaVista = saida.scrollHeight;
}

function rolaParaFim() {
  seguindo = true;
  ajusta();
}

// A scroll event comes a frame late, when more output may already sit below
// the end it scrolled to; so only a move up stops the following, and only
// reaching the end starts it again. A move up that came with a change of
// height is the browser's: a block above the view got its real size,
// smaller than its estimate, and the top was pulled in; that is no reader
// scrolling back.
let topoVisto = 0, alturaVista = 0;
saida.addEventListener("scroll", () => {
  const topo = saida.scrollTop, altura = saida.scrollHeight;
  if (altura - topo - saida.clientHeight < 4) seguindo = true;
  else if (topo < topoVisto && altura === alturaVista) seguindo = false;
  else if (seguindo) saida.scrollTop = altura;
  topoVisto = saida.scrollTop;
  alturaVista = altura;
  if (seguindo) novas.hidden = true;
});
// The pane and its blocks: a block out of sight is sized by estimate, and
// its real height can land a frame after the pane was scrolled to its end;
// a reader who follows is taken to the new end then.
const tamanhos = new ResizeObserver(() => { if (seguindo) saida.scrollTop = saida.scrollHeight; });
tamanhos.observe(saida);
novas.addEventListener("click", () => { rolaParaFim(); entrada.focus(); });

// A line the page itself writes (the link's events), on a line of its own.
function aviso(texto) {
  if (aberta) terminaLinha();
  const l = linhaAberta();
  l.className = "aviso";
  l.textContent = texto;
  terminaLinha();
  marcaAjuste();
}

// Where a link that dropped came back: a thin rule and a word, on a line
// of its own.
function divisoria() {
  if (aberta) terminaLinha();
  const l = linhaAberta();
  l.className = "reconexao";
  l.textContent = kReconectado;
  terminaLinha();
  marcaAjuste();
}

// The player's own line, after the prompt it answers, as a terminal echoes it.
function eco(texto) {
  const span = document.createElement("span");
  span.className = "eco";
  span.textContent = texto;
  linhaAberta().append(span);
  terminaLinha();
  rolaParaFim();
}

// ---- the nickname ---------------------------------------------------------

let pedindoApelido = false;  // the gateway asked and nothing was answered yet
let apelidoAutomatico = false;  // the remembered nickname was sent on this link
let candidato = "";          // the nickname last answered
let apelidoSessao = "";      // the nickname this page played under; sent again on reconnecting
let assiste = false;         // the tab's user only watches: a typed line is chat
let assisteNesteLink = false;  // the gateway said so on the current link

// The tab's user outlives a reload: its nickname and whether it watches,
// so that a resumed user (which is asked nothing) is shown as it was.
function guardaSessao() {
  try { sessionStorage.setItem(kChaveSessao, JSON.stringify({ apelido: apelidoSessao, assiste })); } catch { /* off */ }
}

function leSessao() {
  try {
    const s = JSON.parse(sessionStorage.getItem(kChaveSessao) || "{}");
    if (typeof s.apelido === "string") apelidoSessao = candidato = s.apelido;
    mudaAssiste(s.assiste === true);
  } catch { /* nothing kept */ }
}

function mudaAssiste(sim) {
  assiste = sim;
  entrada.placeholder = sim ? "Conversa (só para assistir)" : "";
  guardaSessao();
}

function leuLinha(texto) {
  if (texto === kAssistir) {
    assisteNesteLink = true;
    mudaAssiste(true);
  }
  if (texto === kPedeApelido) {
    // A new user, not a resumed one: a watcher only if told so on this link.
    mudaAssiste(assisteNesteLink);
    pedeApelido();
  }
  else if (texto === kApelidoInvalido) pedindoApelido = true;
  let m = kChegou.exec(texto);
  if (m && m[1] === candidato) guardaApelido(candidato);
  m = kRenomeado.exec(texto);
  if (m && apelidoSessao && m[1] === apelidoSessao) guardaApelido(m[2]);
}

function guardaApelido(apelido) {
  apelidoSessao = candidato = apelido;
  try { localStorage.setItem(kChaveApelido, apelido); } catch { /* storage off: nothing remembered */ }
  guardaSessao();
}

function apelidoLembrado() {
  try { return localStorage.getItem(kChaveApelido) || ""; } catch { return ""; }
}

// After every message, with the line the player would answer: the open
// one, else the last one ended (the gateway may end a quiet prompt itself).
// A password prompt masks the input until the line is sent: a friend's chat
// arriving meanwhile must not unmask a half-typed password.
function leuPrompt(texto) {
  if (kPedeSenha.test(texto)) entrada.type = "password";
  if (aberta && texto === kPedeApelido) pedeApelido();
}

function pedeApelido() {
  if (pedindoApelido) return;
  pedindoApelido = true;
  if (apelidoSessao && !apelidoAutomatico) {  // back after a lost link: same name
    apelidoAutomatico = true;
    envia(apelidoSessao);
    return;
  }
  const lembrado = apelidoLembrado();
  if (lembrado) {
    botaoApelido.textContent = `Entrar como ${lembrado}`;
    botaoApelido.hidden = false;
    if (entrada.value === "") {
      entrada.value = lembrado;
      entrada.select();
    }
  }
}

botaoApelido.addEventListener("click", () => {
  envia(apelidoLembrado());
  entrada.focus();
});

// ---- the link -------------------------------------------------------------

let ws = null;
let espera = kEsperaMin;
let relogio = 0, prazo = 0;    // the reconnect timer, and when it fires
let saiu = false;              // the player typed /sair on this link
let convite = "";              // for the upgrade, from a gateway that gives no seats
let aTrocar = "";              // the fragment's invite, until the gateway has answered for it
let ultimoMotivo = "";         // said in the pane once per run of failed tries
let retoma = "";               // the tab's resume id
let jaAbriu = false;           // a link of this page was open before

// 24 random bytes as base64url: 32 characters.
function novoId() {
  const b = crypto.getRandomValues(new Uint8Array(24));
  return btoa(String.fromCharCode(...b)).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
}

function idRetoma() {
  if (retoma) return retoma;
  try {
    retoma = sessionStorage.getItem(kChaveRetoma) || "";
    if (!/^[A-Za-z0-9_-]{22,64}$/.test(retoma)) {
      retoma = novoId();
      sessionStorage.setItem(kChaveRetoma, retoma);
    }
  } catch {
    retoma = novoId();  // storage off: this load's id
  }
  return retoma;
}

function temAssento() {
  try { return localStorage.getItem(kChaveAssento) === "1"; } catch { return false; }
}

// The invite from the fragment, exchanged for a seat: it travels only in
// this request's body. A gateway that gives no seats answers any POST with
// 405, and then the invite goes with the upgrade, as it did before. An
// exchange that got no answer, or a busy one (429, 5xx), is tried again
// before the next link; any other answer ends it (a refused invite is
// dropped: a seat this browser already has may still let it in, and
// otherwise the refusal is said when the upgrade fails).
async function trocaConvite() {
  const token = aTrocar;
  let r = null;
  try {
    r = await fetch("entrar", {
      method: "POST",
      headers: { "Content-Type": "application/x-www-form-urlencoded" },
      body: "convite=" + encodeURIComponent(token),
      cache: "no-store",
      credentials: "same-origin",
    });
  } catch { /* unreachable */ }
  if (!r || r.status === 429 || r.status >= 500) return;
  aTrocar = "";
  if (r.ok) {
    try { localStorage.setItem(kChaveAssento, "1"); } catch { /* off */ }
  } else if (r.status === 405) {
    convite = token;
  }
}

async function entra() {
  if (aTrocar) await trocaConvite();
  conecta();
}

function mostraEstado(nome, texto) {
  estado.dataset.estado = nome;
  estadoTexto.textContent = texto;
  contagem.textContent = "";
}

function conecta() {
  clearTimeout(relogio);
  relogio = 0;
  agora.hidden = true;
  saiu = false;
  const url = new URL("ws", location.href);
  url.protocol = url.protocol === "https:" ? "wss:" : "ws:";
  url.search = "?retoma=" + idRetoma() + (convite ? "&convite=" + encodeURIComponent(convite) : "");
  mostraEstado("conectando", "Conectando…");
  let abriu = false;
  const s = new WebSocket(url);
  ws = s;
  s.onopen = () => {
    abriu = true;
    convite = "";  // used up
    espera = kEsperaMin;
    apelidoAutomatico = false;
    assisteNesteLink = false;
    ultimoMotivo = "";
    if (jaAbriu && linhas > 0) divisoria();
    jaAbriu = true;
    mostraEstado("conectado", "Conectado");
  };
  s.onmessage = (e) => { if (typeof e.data === "string") recebe(e.data); };
  s.onclose = (e) => { if (ws === s) fechou(e.code, abriu); };
}

const kMotivos = {
  1000: "O Zandor encerrou a conexão",
  1001: "O Zandor encerrou a conexão",
  1002: "Conexão encerrada por erro de protocolo",
  1003: "Conexão encerrada: mensagem que o Zandor não aceita",
  1007: "Conexão encerrada: texto inválido",
  1009: "Conexão encerrada: linha longa demais",
};

async function fechou(codigo, abriu) {
  ws = null;
  if (aberta) terminaLinha();
  resto = "";
  ultimaLida = "";
  zeraSgr();
  pedindoApelido = false;
  botaoApelido.hidden = true;
  entrada.type = "text";
  if (codigo === kFechoAssumido) {
    // This tab's session went on over another link: trying to take it back
    // would only throw the other out. The player may, by asking.
    aviso("A sessão continuou em outra janela ou aba.");
    mostraEstado("desconectado", "Desconectado");
    agora.textContent = "Continuar aqui";
    agora.hidden = false;
    return;
  }
  if (saiu) {
    aviso("Você saiu do Zandor.");
    mostraEstado("desconectado", "Desconectado");
    agora.textContent = "Entrar de novo";
    agora.hidden = false;
    return;
  }
  // The bar says it short, so that the countdown fits a phone; the pane
  // says why.
  let motivo = kMotivos[codigo] || "Conexão perdida", curto = "Desconectado";
  if (!abriu) {
    // The browser hides the answer to a refused upgrade. The same address
    // asked without one is admitted or refused the same way, and says which.
    let status = 0;
    try { status = (await fetch(`ws?retoma=${idRetoma()}`, { cache: "no-store" })).status; } catch { /* down */ }
    if (status === 0) {
      motivo = curto = "Zandor fora do ar";
    } else {
      [motivo, curto, espera] = recusa(status);
    }
  }
  if (ws) return;  // the player reconnected meanwhile
  if (motivo !== ultimoMotivo) aviso(motivo + ".");
  ultimoMotivo = motivo;
  agenda(curto);
}

// What a refused upgrade's status says: the reason, the short form for the
// bar, and the wait before trying again.
function recusa(status) {
  const peca = "peça um convite novo a quem está no Zandor";
  if (status === 403 && temAssento()) return [`Acesso revogado ou expirado: ${peca}`, "Acesso recusado", kEsperaMax];
  if (status === 403) return [`Acesso recusado: ${peca}`, "Acesso recusado", kEsperaMax];
  if (status === 429) return ["Tentativas demais: aguarde um minuto", "Aguarde", kEsperaLimite];
  if (status === 503) return ["Zandor lotado: aguarde uma vaga", "Zandor lotado", kEsperaMax];
  // 400 (let in, but the question was no upgrade) or a gateway that tells
  // no more than that it is up: said as it always was.
  return [`Acesso recusado: ${peca}, ou aguarde uma vaga`, "Acesso recusado", kEsperaMax];
}

function agenda(curto) {
  mostraEstado("desconectado", curto);
  prazo = Date.now() + espera;
  relogio = setTimeout(entra, espera);
  espera = Math.min(espera * 2, Math.max(espera, kEsperaMax));
  agora.textContent = "Conectar agora";
  agora.hidden = false;
  mostraContagem();
}

// The countdown ticks on the second boundaries of the wait.
let tique = 0;
function mostraContagem() {
  clearTimeout(tique);
  if (!relogio) return;
  const resta = Math.max(0, prazo - Date.now());
  contagem.textContent = ` — nova tentativa em ${Math.ceil(resta / 1000)} s`;
  tique = setTimeout(mostraContagem, resta % 1000 || 1000);
}

agora.addEventListener("click", () => {
  espera = kEsperaMin;
  entra();
  entrada.focus();
});
window.addEventListener("online", () => { if (relogio) entra(); });

// ---- the input line -------------------------------------------------------

const historia = [];
let posicao = 0;      // in historia; historia.length is the line being typed
let rascunho = "";    // the line being typed, kept while walking the history

function envia(texto) {
  if (!ws || ws.readyState !== WebSocket.OPEN) {
    aviso("Sem conexão com o Zandor: a linha não foi enviada.");
    return false;
  }
  ws.send(texto);
  const senha = entrada.type === "password";
  eco(senha ? "" : texto);
  if (!senha && texto !== "" && historia[historia.length - 1] !== texto) {
    historia.push(texto);
    if (historia.length > kMaxHistoria) historia.shift();
  }
  posicao = historia.length;
  rascunho = "";
  if (pedindoApelido) {
    candidato = texto.trim();
    pedindoApelido = false;
    botaoApelido.hidden = true;
  }
  if (kSair.test(texto.trim())) saiu = true;
  entrada.type = "text";
  return true;
}

// A watcher with a nickname chats by default: a line that is not a
// command goes as chat, and an empty one goes nowhere.
function paraEnviar(texto) {
  if (!assiste || pedindoApelido || !apelidoSessao || texto.startsWith("/")) return texto;
  return texto.trim() === "" ? null : "/ " + texto;
}

linha.addEventListener("submit", (e) => {
  e.preventDefault();
  const texto = paraEnviar(entrada.value);
  if (texto === null || envia(texto)) entrada.value = "";
  entrada.focus();
});

entrada.addEventListener("keydown", (e) => {
  if (e.key === "ArrowUp" && posicao > 0) {
    if (posicao === historia.length) rascunho = entrada.value;
    entrada.value = historia[--posicao];
  } else if (e.key === "ArrowDown" && posicao < historia.length) {
    entrada.value = ++posicao === historia.length ? rascunho : historia[posicao];
  } else if (e.key === "PageUp" || e.key === "PageDown") {
    saida.scrollBy(0, (e.key === "PageUp" ? -0.9 : 0.9) * saida.clientHeight);
  } else {
    return;
  }
  e.preventDefault();
  entrada.setSelectionRange(entrada.value.length, entrada.value.length);
});

// Typing anywhere types into the line; a click that selects nothing gives
// it the focus back, a click that selects text leaves the selection alone.
document.addEventListener("keydown", (e) => {
  if (e.target === entrada || e.ctrlKey || e.metaKey || e.altKey || e.key.length !== 1) return;
  if (e.target instanceof HTMLButtonElement && e.key === " ") return;
  entrada.focus();
});
// On a touch screen a tap on the pane does not pop the keyboard up.
saida.addEventListener("pointerup", (e) => {
  if (e.pointerType === "mouse" && getSelection().isCollapsed) entrada.focus({ preventScroll: true });
});

// ---- start ----------------------------------------------------------------

leSessao();
entrada.focus();
if (/^#[A-Za-z0-9_-]+$/.test(location.hash)) {
  aTrocar = location.hash.slice(1);
  history.replaceState(null, "", location.pathname + location.search);  // not left in the address bar
  mostraEstado("conectando", "Entrando…");
}
entra();
