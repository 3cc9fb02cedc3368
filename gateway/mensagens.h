// Every text the gateway says, in one table, as Windows-1252 bytes.
//
// The source is UTF-8, so each accented letter is written as its escape; a
// hex escape swallows any hex digit after it, hence the split literals where
// one follows ("conex\xF5" "es").
#pragma once

namespace zandor::msg {

// First exchange.
inline constexpr char kAcessoNegado[] = "-Acesso negado\r\n";
inline constexpr char kLotado[] = "-Zandor lotado\r\n";
inline constexpr char kSaudacao[] = "+OK Para telnet pressione ENTER\r\n";
inline constexpr char kEntrandoOrvalho[] = "+OK Entrando via Orvalho";
inline constexpr char kEntrandoTelnet[] = "-OK Entrando via telnet; para sair tecle /sair ou /quit";
inline constexpr char kTempoEsgotado[] = "-Tempo esgotado\r\n";
inline constexpr char kTecle[] = "tecle\r\n";

// Nicknames and presence.
inline constexpr char kDigiteApelido[] = "Digite seu apelido";
inline constexpr char kApelidoInvalidoDigite[] = "Apelido inv\xE1lido, digite outro";
inline constexpr char kApelidoInvalido[] = "/Apelido inv\xE1lido";
inline constexpr char kTecleAjuda[] = "Tecle /ajuda para saber os comandos";
inline constexpr char kChegou[] = "//%s chegou";
inline constexpr char kSaiu[] = "//%s saiu";
inline constexpr char kConhecidoComo[] = "//Usu\xE1rio %s \xE9 conhecido como %s";
inline constexpr char kUsuarios[] = "/Usu\xE1rios";
inline constexpr char kChat[] = "/%s. %s";
inline constexpr char kEncerrando[] = "/Encerrando Zandor";
inline constexpr char kLinhaLonga[] = "/Linha longa demais: m\xE1ximo de 8000 bytes";

// Options.
inline constexpr char kC1NaoVoltando[] = "/c1 N\xE3o voltando \xFAltimas mensagens";
inline constexpr char kC1Voltando[] = "/c1 Voltando \xFAltimas mensagens";
inline constexpr char kC1Corta240[] = "/c1 Cortando texto em 240 colunas";
inline constexpr char kC1Corta80[] = "/c1 Cortando texto em 80 colunas";
inline constexpr char kC2NaoFiltrando[] = "/c2 N\xE3o filtrando cores";
inline constexpr char kC2Filtrando[] = "/c2 Filtrando cores";
inline constexpr char kC3Utf8[] = "/c3 Usando UTF-8";
inline constexpr char kC3Windows[] = "/c3 Usando Windows-1252";

// Remote admission.
inline constexpr char kConAceitando[] = "/con: Aceitando uma conex\xE3o de %s";
inline constexpr char kConSoLocais[] = "/con: s\xF3 aceitando conex\xF5" "es locais";

// The MUD link.
inline constexpr char kPortaMud[] = "/Porta deve ser um n\xFAmero de 1 a 65535";
inline constexpr char kModoMud[] = "/Depois da porta s\xF3 vale tls ou tls-inseguro";
inline constexpr char kConectando[] = "/Conectando em %s %d";
inline constexpr char kEnderecoNaoEncontrado[] = "/Endere\xE7o n\xE3o encontrado";
inline constexpr char kErroInterno[] = "/Erro interno";
inline constexpr char kErro[] = "/Erro: %s";
inline constexpr char kConectado[] = "/Conectado";
inline constexpr char kNaoConectado[] = "/N\xE3o est\xE1 conectado em um MUD";
inline constexpr char kDesconectado[] = "/Desconectado do MUD";
inline constexpr char kConexaoTerminada[] = "/Conex\xE3o com o MUD terminada";
inline constexpr char kNaoAbriuArquivo[] = "/N\xE3o consegui abrir arquivo %s";
inline constexpr char kMudNaoEncontrado[] = "/MUD n\xE3o encontrado";

// The history.
inline constexpr char kHistorico[] = "/Hist\xF3rico: %d linhas";
inline constexpr char kFimHistorico[] = "/Fim do hist\xF3rico";
inline constexpr char kHistoricoVazio[] = "/Hist\xF3rico vazio";
inline constexpr char kUsoHistoria[] = "/Uso: /historia [1 a 1000]";
inline constexpr char kHistoriaEmAndamento[] = "/Hist\xF3rico em andamento: aguarde o fim";

// Start-up log and console; each failure's line also goes to standard error.
inline constexpr char kLogAbrindo[] = "Abrindo arquivo %s: %s\n";
inline constexpr char kLogCriando[] = "Criando arquivo %s: %s\n";  // standard error only
inline constexpr char kLogPorta[] = "Porta deve ser um n\xFAmero de 1024 a 65535: %s\n";
inline constexpr char kLogUsuarios[] = "Usu\xE1rios deve ser um n\xFAmero de 1 a %d: %s\n";
inline constexpr char kLogLimite[] = "Limite de %d arquivos abertos: servindo %d usu\xE1rios, n\xE3o %d\n";
inline constexpr char kLogWeb[] = "Linha web deve ser: web = endere\xE7o porta [URL]: %s\n";
inline constexpr char kLogTlsWeb[] = "Certificado TLS da web: %s\n";
inline constexpr char kLogTlsRenovado[] = "Certificado TLS da web renovado: %s\n";
inline constexpr char kLogTlsRecusado[] = "Certificado TLS da web novo recusado, o anterior continua: %s\n";
inline constexpr char kLogFeito[] = "Feito...\n";
inline constexpr char kLogAssentoDanificado[] = "Arquivo %s, linha %d danificada: ignorada\n";
inline constexpr char kAlocando[] = "Alocando mem\xF3ria";

// The browser's way in.
inline constexpr char kConvite[] = "/Convite: %s";
inline constexpr char kWebDesligado[] = "/Acesso pelo navegador desligado";

// Seats: a browser that came by invite and may come back.
inline constexpr char kAssentos[] = "/Assentos: %d";
inline constexpr char kNenhumAssento[] = "/Nenhum assento";
inline constexpr char kAssentoRevogado[] = "/Assento de %s revogado";
inline constexpr char kNenhumAssentoDe[] = "/Nenhum assento de %s";
inline constexpr char kAcessoRevogado[] = "/Seu acesso foi revogado";
// One line per seat: the nickname last used, what it is doing, and the
// watcher's mark (kMarcaAssiste or nothing) at the end.
inline constexpr char kAssentoSemApelido[] = "?";
inline constexpr char kAssentoEmUso[] = "%s - em uso%s";
inline constexpr char kAssentoAusente[] = "%s - ausente%s";
inline constexpr char kAssentoAgora[] = "%s - \xFAltimo uso h\xE1 menos de um minuto%s";
inline constexpr char kAssentoMinutos[] = "%s - \xFAltimo uso h\xE1 %d min%s";
inline constexpr char kAssentoHoras[] = "%s - \xFAltimo uso h\xE1 %d h%s";
inline constexpr char kAssentoDias[] = "%s - \xFAltimo uso h\xE1 %d dias%s";
inline constexpr char kMarcaAssiste[] = " (s\xF3 assiste)";

// Away and back.
inline constexpr char kLinhasPerdidas[] = "/%d linhas perdidas enquanto ausente";
inline constexpr char kQuemAusente[] = "%s (ausente)";

// Watchers.
inline constexpr char kSoAssistir[] = "/S\xF3 para assistir: pe\xE7" "a a quem est\xE1 jogando";
inline constexpr char kConviteAssistir[] = "/Convite para assistir: %s";
inline constexpr char kQuemAssistindo[] = "%s (assistindo)";
inline constexpr char kQuemAssistindoAusente[] = "%s (assistindo, ausente)";
inline constexpr char kEntrouAssistir[] = "/Voc\xEA entrou para assistir: o que digitar vai para a conversa";

inline constexpr char kAjudaAssentos[] = "/assentos - Mostra quem entrou por convite e pode voltar";
inline constexpr char kAjudaRevoga[] = "/revoga apelido - Tira o acesso de quem entrou por convite";
inline constexpr char kAjudaConvite[] =
    "/convite [ver] - Cria um link para algu\xE9m entrar pelo navegador (ver: s\xF3 assiste)";

// "/ajuda": twenty-three lines, in order.
inline constexpr const char* kAjuda[] = {
    "Ajuda:",
    "/sair ou /quit - Sai do Zandor",
    "/terminar - Encerra o programa",
    "/mud endere\xE7o porta - Conecta a um mud",
    "/mud - Desconecta do mud",
    "/con endere\xE7o IP - permite uma conex\xE3o do endere\xE7o IP espeficidado",
    "    Nota: ao permitir um endere\xE7o deixar\xE1 de permitir outro",
    "/quem - Diz quem est\xE1 no Zandor",
    "/nome apelido - Muda de apelido",
    "/c1 - Telnet alterna entre voltar e n\xE3o voltar as \xFAltimas mensagens quando",
    "    tecla ENTER. Orvalho alterna entre 80 e 240 caracteres por linha",
    "/c2 - Alterna entre filtrar/n\xE3o filtrar cores; n\xE3o recomandado para Orvalho",
    "/ - Envia mensagem vazia para o MUD (pressionar ENTER no MUD)",
    "/c - Envia CONTROL+C para o MUD",
    "/ seguido de uma mensagem - Envia mensagem para quem estiver no Zandor",
    "Qualquer outra coisa envia o que escreveu para o MUD",
    "Mensagens para o mud que comecem com / escreva // no lugar de /",
    "/c3 - Alterna entre Windows-1252 e UTF-8 (telnet)",
    kAjudaConvite,
    "/historia n - Mostra as \xFAltimas n linhas do MUD (20 se omitido)",
    kAjudaAssentos,
    kAjudaRevoga,
    "Fim da ajuda",
};

}  // namespace zandor::msg
